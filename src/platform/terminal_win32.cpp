// The terminal on Windows 10 and later: keys from ReadConsoleInputW, written as a terminal of
// escape sequences sends them; output through the console's virtual-terminal processing.
#include <cstdlib>
#include <string>

#include "platform/console_text.h"
#include "platform/platform.h"
#include "platform/socket_headers.h"

namespace platform {

namespace {

DWORD saved_in = 0, saved_out = 0;
bool raw = false;

void append_utf8(std::uint32_t c, std::string* out) {
    if (c < 0x80) {
        *out += static_cast<char>(c);
    } else if (c < 0x800) {
        *out += static_cast<char>(0xC0 | c >> 6);
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *out += static_cast<char>(0xE0 | c >> 12);
        *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | c >> 18);
        *out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        *out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The VT sequence of a key that types no character; null for none.
const char* sequence_of(const ConsoleKey& k) {
    switch (k.key) {
        case VK_LEFT: return k.ctrl ? "\x1b[1;5D" : "\x1b[D";
        case VK_RIGHT: return k.ctrl ? "\x1b[1;5C" : "\x1b[C";
        case VK_UP: return "\x1b[A";
        case VK_DOWN: return "\x1b[B";
        case VK_HOME: return "\x1b[H";
        case VK_END: return "\x1b[F";
        case VK_DELETE: return "\x1b[3~";
        case VK_ESCAPE: return "";  // alone it is no key the editor knows
        default: return nullptr;
    }
}

void key_as_vt(const ConsoleKey& k, wchar_t* high, std::string* out) {
    // Alt and a number pad code type their character as Alt comes up.
    if (!k.down && !(k.key == VK_MENU && k.unit != 0)) return;
    for (std::uint16_t i = 0; i < std::max<std::uint16_t>(k.repeat, 1); ++i) {
        if (const char* sequence = sequence_of(k)) {
            *out += sequence;
            continue;
        }
        const std::uint32_t u = k.unit;
        if (u == 0) return;
        if (u >= 0xD800 && u < 0xDC00) {
            *high = k.unit;
            return;
        }
        if (u >= 0xDC00 && u < 0xE000) {
            if (*high != 0) append_utf8(0x10000 + ((*high - 0xD800u) << 10) + (u - 0xDC00), out);
            *high = 0;
            continue;
        }
        if (k.alt && k.down && !k.ctrl) *out += '\x1b';
        append_utf8(u, out);
    }
}

}  // namespace

void console_keys_as_vt(const ConsoleKey* keys, std::size_t count, wchar_t* high, std::string* out) {
    std::string typed;
    for (std::size_t i = 0; i < count; ++i) key_as_vt(keys[i], high, &typed);
    const std::size_t end = typed.find('\r');
    if (end != std::string::npos && end + 1 < typed.size()) typed = "\x1b[200~" + typed + "\x1b[201~";
    *out += typed;
}

bool terminal_begin() {
    if (raw) return true;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!GetConsoleMode(in, &saved_in) || !GetConsoleMode(out, &saved_out)) return false;
    // Before Windows 10 the console takes no escape sequences: the lines go as they always did.
    if (!SetConsoleMode(out, saved_out | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
    const DWORD keys = (saved_in & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) |
                       ENABLE_WINDOW_INPUT | ENABLE_PROCESSED_INPUT;  // Ctrl+C as ever
    if (!SetConsoleMode(in, keys)) {
        SetConsoleMode(out, saved_out);
        return false;
    }
    raw = true;
    static bool registered = false;
    if (!registered) registered = std::atexit(terminal_end) == 0;
    return true;
}

void terminal_end() {
    if (!raw) return;
    raw = false;
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), saved_in);
    SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), saved_out);
}

int terminal_width() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 80;
    const int width = info.srWindow.Right - info.srWindow.Left + 1;
    return width > 0 ? width : 80;
}

bool read_keys(char* buffer, std::size_t capacity, std::size_t* got, bool* resized) {
    static wchar_t high = 0;
    static std::string ready;  // keys translated, more than the caller's buffer took
    *got = 0;
    *resized = false;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE waits[2] = {static_cast<HANDLE>(input_cut_event()), in};
    while (ready.empty()) {
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) return false;
        INPUT_RECORD records[256];
        DWORD count = 0;
        if (!ReadConsoleInputW(in, records, 256, &count)) return false;
        ConsoleKey keys[256];
        std::size_t n = 0;
        for (DWORD i = 0; i < count; ++i) {
            *resized = *resized || records[i].EventType == WINDOW_BUFFER_SIZE_EVENT;
            if (records[i].EventType != KEY_EVENT) continue;
            const KEY_EVENT_RECORD& k = records[i].Event.KeyEvent;
            const DWORD state = k.dwControlKeyState;
            keys[n++] = ConsoleKey{k.bKeyDown != FALSE, k.wVirtualKeyCode, k.uChar.UnicodeChar,
                                   (state & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED)) != 0,
                                   (state & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0, k.wRepeatCount};
        }
        console_keys_as_vt(keys, n, &high, &ready);
        if (*resized) break;
    }
    *got = std::min(capacity, ready.size());
    ready.copy(buffer, *got);
    ready.erase(0, *got);
    return true;
}

}  // namespace platform
