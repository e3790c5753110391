// Console text on Windows: what the console hands over as UTF-16, as the UTF-8 lines natchat sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Typed lines gathered from the console. A read may end anywhere in a line: after a fixed number
// of units, between the halves of a surrogate pair, between CR and LF. So a line is converted
// only once its LF has come.
struct ConsoleLines {
    std::wstring partial;  // units of a line still without its end
    std::string ready;     // whole lines as UTF-8, not yet handed out
    bool ended = false;    // a line of Ctrl+Z (0x1A) alone came: the end of input
};

// Takes `count` units as read from the console. Each finished line joins `ready` in UTF-8, its
// CR LF as LF, a lone surrogate as U+FFFD. A line of 0x1A alone ends the input: nothing after it
// is kept; 0x1A within a line is text.
void console_lines_add(ConsoleLines* lines, const wchar_t* units, std::size_t count);

// Hands out what fgets would: up to `size - 1` bytes of `ready` and a NUL, through the first LF
// when it fits; the rest waits for the next call. False when nothing is ready.
bool console_lines_take(ConsoleLines* lines, char* buffer, std::size_t size);

// A key event as the console reports it (ReadConsoleInputW), as much of it as the line editor
// needs.
struct ConsoleKey {
    bool down;
    std::uint16_t key;  // the virtual-key code
    wchar_t unit;       // the UTF-16 unit typed, 0 for none
    bool ctrl, alt;
    std::uint16_t repeat;
};

// Keys as a terminal of escape sequences sends them: characters in UTF-8 (a surrogate pair's
// first half waits in `high`), arrows and Home, End, Delete as VT sequences, Alt as ESC before
// the key. A batch read at once that holds a line end with more after it was pasted: it goes
// between bracketed-paste markers, so that its lines are text, "quit" too.
void console_keys_as_vt(const ConsoleKey* keys, std::size_t count, wchar_t* high, std::string* out);

// The event an interrupt or end_input sets, that a wait for keys watches beside the console.
void* input_cut_event();

}  // namespace platform
