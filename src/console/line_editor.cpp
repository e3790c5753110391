#include "console/line_editor.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::size_t kHistoryLimit = 500;
// A control sequence longer than this is nothing a terminal sends for a key: it is dropped.
constexpr std::size_t kLongestSequence = 32;

enum class Key {
    none, text, enter, left, right, home, end, word_left, word_right, backspace, erase,
    kill_start, kill_end, kill_word, redraw, up, down, end_of_input, paste_start, paste_end,
};

struct Range {
    std::uint32_t first, last;
};

// Combining marks and other characters drawn on the one before.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x05BF, 0x05C7}, {0x0610, 0x061A},
    {0x064B, 0x065F}, {0x0670, 0x0670}, {0x06D6, 0x06ED}, {0x0900, 0x0903}, {0x093A, 0x094F},
    {0x0E31, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200F},
    {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF},
};

// East Asian wide and full-width characters, and the emoji drawn two columns wide.
constexpr Range kWide[] = {
    {0x1100, 0x115F}, {0x2E80, 0x303E}, {0x3041, 0x33FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF}, {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE30, 0xFE4F}, {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6}, {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

bool within(std::uint32_t code, const Range* ranges, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (code >= ranges[i].first && code <= ranges[i].last) return true;
    }
    return false;
}

// The code point at `at` and its length; 0 when the bytes there are not whole yet, and a
// length with code 0xFFFFFFFF for a byte that begins no character.
std::size_t decode(const std::string& s, std::size_t at, std::uint32_t* code) {
    const auto lead = static_cast<unsigned char>(s[at]);
    const std::size_t size = lead < 0x80 ? 1 : lead >= 0xF0 && lead < 0xF5 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    *code = 0xFFFFFFFF;
    if (size == 0) return 1;
    std::uint32_t c = size == 1 ? lead : lead & (0x7F >> size);
    for (std::size_t i = 1; i < size; ++i) {
        if (at + i >= s.size()) return 0;
        const auto next = static_cast<unsigned char>(s[at + i]);
        if ((next & 0xC0) != 0x80) return i;
        c = c << 6 | (next & 0x3F);
    }
    const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c >= least[size] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF)) *code = c;
    return size;
}

std::uint32_t code_at(const std::string& s, std::size_t at) {
    std::uint32_t code = 0;
    decode(s, at, &code);
    return code;
}

// A character and the marks drawn on it move and go together.
std::size_t next_char(const std::string& s, std::size_t at) {
    if (at >= s.size()) return s.size();
    std::uint32_t code = 0;
    at += decode(s, at, &code);
    while (at < s.size() && char_columns(code_at(s, at)) == 0) at += decode(s, at, &code);
    return at;
}

std::size_t prev_char(const std::string& s, std::size_t at) {
    while (at > 0) {
        do --at; while (at > 0 && (static_cast<unsigned char>(s[at]) & 0xC0) == 0x80);
        if (at == 0 || char_columns(code_at(s, at)) != 0) break;
    }
    return at;
}

Key csi_key(const std::string& body, char final) {
    switch (final) {
        case 'A': return Key::up;
        case 'B': return Key::down;
        case 'C': return body.empty() ? Key::right : Key::word_right;  // "1;5C": Ctrl+Right
        case 'D': return body.empty() ? Key::left : Key::word_left;
        case 'H': return Key::home;
        case 'F': return Key::end;
        case '~': break;
        default: return Key::none;
    }
    if (body == "1" || body == "7") return Key::home;
    if (body == "4" || body == "8") return Key::end;
    if (body == "3") return Key::erase;
    if (body == "200") return Key::paste_start;
    if (body == "201") return Key::paste_end;
    return Key::none;
}

// The escape sequence at `at`: its length, 0 while it is not whole.
std::size_t escape_key(const std::string& s, std::size_t at, Key* key) {
    *key = Key::none;
    if (at + 1 >= s.size()) return 0;
    const char kind = s[at + 1];
    if (kind == 'O') {
        if (at + 2 >= s.size()) return 0;
        const char final = s[at + 2];
        *key = final == 'H' ? Key::home : final == 'F' ? Key::end : csi_key("", final);
        return 3;
    }
    if (kind != '[') {
        if (kind == 'b') *key = Key::word_left;
        if (kind == 'f') *key = Key::word_right;
        if (kind == 0x7F) *key = Key::kill_word;
        return kind == 0x1B ? 1 : 2;
    }
    for (std::size_t i = at + 2; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (i - at > kLongestSequence) return i - at;
        if (c >= 0x40 && c <= 0x7E) {
            *key = csi_key(s.substr(at + 2, i - at - 2), static_cast<char>(c));
            return i - at + 1;
        }
        if (c < 0x20 || c > 0x3F) return i - at;  // not a sequence: dropped up to here
    }
    return 0;
}

Key control_key(unsigned char c) {
    switch (c) {
        case 0x01: return Key::home;
        case 0x02: return Key::left;
        case 0x04: return Key::end_of_input;
        case 0x05: return Key::end;
        case 0x06: return Key::right;
        case 0x08: case 0x7F: return Key::backspace;
        case 0x0A: case 0x0D: return Key::enter;
        case 0x0B: return Key::kill_end;
        case 0x0C: return Key::redraw;
        case 0x0E: return Key::down;
        case 0x10: return Key::up;
        case 0x15: return Key::kill_start;
        case 0x17: return Key::kill_word;
        default: return Key::none;
    }
}

// The key at `at` of the pending bytes: its length, 0 while it is not whole.
std::size_t next_key(const LineEditor* e, std::size_t at, Key* key) {
    const std::string& s = e->pending;
    const auto c = static_cast<unsigned char>(s[at]);
    if (c == 0x1B) {
        const std::size_t n = escape_key(s, at, key);
        // Within a paste only its end counts: a pasted sequence is dropped, never acted on.
        if (e->pasting && *key != Key::paste_end) *key = Key::none;
        return n;
    }
    if (c == '\t' || (c >= 0x20 && c != 0x7F)) {
        std::uint32_t code = 0;
        const std::size_t n = c == '\t' ? 1 : decode(s, at, &code);
        *key = code == 0xFFFFFFFF ? Key::none : Key::text;
        return n;
    }
    *key = control_key(c);
    if (e->pasting) *key = *key == Key::enter ? Key::enter : Key::none;
    return 1;
}

}  // namespace

int char_columns(std::uint32_t code) {
    if (within(code, kZeroWidth, std::size(kZeroWidth))) return 0;
    return within(code, kWide, std::size(kWide)) ? 2 : 1;
}

namespace {

struct Spot {
    int row, col;
};

// Where the terminal puts what follows `upto` bytes of the text after the prompt; a row filled
// to its last column goes on at the next.
Spot spot_of(const LineEditor* e, std::size_t upto, bool* filled = nullptr) {
    Spot at{0, 0};
    const std::string line = e->prompt + e->text.substr(0, upto);
    for (std::size_t i = 0; i < line.size();) {
        std::uint32_t code = 0;
        i += std::max<std::size_t>(decode(line, i, &code), 1);
        const int w = char_columns(code);
        if (at.col + w > e->width) at = Spot{at.row + 1, 0};
        at.col += w;
    }
    if (filled != nullptr) *filled = at.col >= e->width;
    if (at.col >= e->width) at = Spot{at.row + 1, 0};
    return at;
}

void append_move(std::string* screen, int count, char direction) {
    if (count <= 0) return;
    char move[16];
    std::snprintf(move, sizeof move, "\x1b[%d%c", count, direction);
    screen->append(move);
}

// To a column (from 0) of the cursor's row by its number, not by a CR and a move right: Wine's
// console takes a sequence right after a CR at the wrong column, and every terminal takes this.
void append_column(std::string* screen, int column) {
    char move[16];
    std::snprintf(move, sizeof move, "\x1b[%dG", column + 1);
    screen->append(move);
}

void add_history(LineEditor* e, const std::string& line) {
    if (!line.empty() && (e->history.empty() || e->history.back() != line)) e->history.push_back(line);
    if (e->history.size() > kHistoryLimit) e->history.erase(e->history.begin());
    e->recalled = e->history.size();
    e->draft.clear();
}

// The finished line stays on the screen, in the scrollback, as a line of the conversation.
void finish_line(LineEditor* e, EditorOutput* out) {
    editor_hide(e, &out->screen);
    // A paste shows its block once: its later lines without a prompt of their own.
    if (!e->pasting || e->pasted == 0) out->screen += e->prompt;
    if (e->colour) out->screen += kColourOwn;
    out->screen += e->text;
    if (e->colour) out->screen += kColourOff;
    out->screen += "\r\n";
    out->lines.push_back(EditedLine{e->text, e->pasting});
    add_history(e, e->text);
    e->pasted += e->pasting ? 1 : 0;
    e->text.clear();
    e->cursor = 0;
}

void recall(LineEditor* e, bool older) {
    if (older ? e->recalled == 0 : e->recalled >= e->history.size()) return;
    if (e->recalled == e->history.size()) e->draft = e->text;
    if (older) --e->recalled;
    else ++e->recalled;
    e->text = e->recalled == e->history.size() ? e->draft : e->history[e->recalled];
    e->cursor = e->text.size();
}

bool is_space(const std::string& s, std::size_t at) { return s[at] == ' '; }

std::size_t word_left(const std::string& s, std::size_t at) {
    while (at > 0 && is_space(s, prev_char(s, at))) at = prev_char(s, at);
    while (at > 0 && !is_space(s, prev_char(s, at))) at = prev_char(s, at);
    return at;
}

std::size_t word_right(const std::string& s, std::size_t at) {
    while (at < s.size() && is_space(s, at)) at = next_char(s, at);
    while (at < s.size() && !is_space(s, at)) at = next_char(s, at);
    return at;
}

void cut(LineEditor* e, std::size_t from, std::size_t to) {
    e->text.erase(from, to - from);
    e->cursor = from;
}

// What a key does to the line.
void edit(LineEditor* e, Key key, std::size_t at, std::size_t size, EditorOutput* out) {
    std::string& t = e->text;
    switch (key) {
        case Key::text: {
            // A tab has no width of its own at a terminal: it goes as a space.
            const std::string typed = e->pending[at] == '\t' ? std::string(" ") : e->pending.substr(at, size);
            t.insert(e->cursor, typed);
            e->cursor += typed.size();
            break;
        }
        case Key::left: e->cursor = prev_char(t, e->cursor); break;
        case Key::right: e->cursor = next_char(t, e->cursor); break;
        case Key::home: e->cursor = 0; break;
        case Key::end: e->cursor = t.size(); break;
        case Key::word_left: e->cursor = word_left(t, e->cursor); break;
        case Key::word_right: e->cursor = word_right(t, e->cursor); break;
        case Key::backspace: cut(e, prev_char(t, e->cursor), e->cursor); break;
        case Key::erase: cut(e, e->cursor, next_char(t, e->cursor)); break;
        case Key::kill_start: cut(e, 0, e->cursor); break;
        case Key::kill_end: cut(e, e->cursor, t.size()); break;
        case Key::kill_word: cut(e, word_left(t, e->cursor), e->cursor); break;
        case Key::up: recall(e, true); break;
        case Key::down: recall(e, false); break;
        case Key::enter: finish_line(e, out); break;
        case Key::redraw:
            out->screen += "\x1b[H\x1b[2J";
            e->shown = false;
            break;
        case Key::paste_start: e->pasting = true; e->pasted = 0; break;
        case Key::paste_end: e->pasting = false; break;
        case Key::end_of_input:
            if (t.empty()) out->ended = true;
            else cut(e, e->cursor, next_char(t, e->cursor));
            break;
        case Key::none: break;
    }
}

}  // namespace

void editor_keys(LineEditor* e, const char* keys, std::size_t size, EditorOutput* out) {
    if (out->ended) return;
    e->pending.append(keys, size);
    std::size_t at = 0;
    editor_hide(e, &out->screen);
    while (at < e->pending.size() && !out->ended && !(e->one_line && !out->lines.empty())) {
        Key key = Key::none;
        const std::size_t n = next_key(e, at, &key);
        if (n == 0) break;
        // CR LF, as a paste may bring it, ends one line, not two.
        const bool lf_after_cr = e->after_cr && e->pending[at] == '\n';
        e->after_cr = e->pending[at] == '\r';
        if (!lf_after_cr) edit(e, key, at, n, out);
        at += n;
    }
    e->pending.erase(0, at);
    // A paste is drawn once, when it has come whole.
    if (!out->ended && !e->pasting) editor_show(e, &out->screen);
}

void editor_hide(LineEditor* e, std::string* screen) {
    if (!e->shown) return;
    append_column(screen, 0);
    append_move(screen, e->cursor_row, 'A');
    *screen += "\x1b[J";
    e->shown = false;
}

void editor_show(LineEditor* e, std::string* screen) {
    if (e->shown) return;
    *screen += e->prompt;
    *screen += e->text;
    bool filled = false;
    const Spot end = spot_of(e, e->text.size(), &filled);
    if (filled) *screen += "\r\n";  // past the last column, as the terminal will go on
    const Spot cursor = spot_of(e, e->cursor);
    append_move(screen, end.row - cursor.row, 'A');
    append_column(screen, cursor.col);
    e->cursor_row = cursor.row;
    e->shown = true;
}

void editor_resize(LineEditor* e, int width, std::string* screen) {
    e->width = std::max(width, 8);
    // The terminal has rewrapped what it showed: the cursor's row is taken as the new width puts it.
    if (e->shown) e->cursor_row = spot_of(e, e->cursor).row;
    editor_hide(e, screen);
    editor_show(e, screen);
}
