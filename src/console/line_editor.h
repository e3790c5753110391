// The input line at a terminal: keys in, as the terminal sends them, the line and the bytes that
// draw it out. No operating system here: the platform layer hands over the keys, the console
// writer writes the screen bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A line the user finished, with Enter or within a bracketed paste.
struct EditedLine {
    std::string text;
    bool pasted;  // came in a paste: "quit" there is text, not the end
};

struct LineEditor {
    std::string prompt = "> ";
    std::string text;        // UTF-8
    std::size_t cursor = 0;  // byte offset into `text`, at a character's start
    int width = 80;          // the terminal's columns
    std::vector<std::string> history;  // lines sent in this chat, oldest first
    std::size_t recalled = 0;          // index into `history`; its size: the line being typed
    std::string draft;                 // the line being typed while an older one is recalled
    std::string pending;     // bytes of a key that has not come whole yet
    bool pasting = false;    // between the paste markers
    std::size_t pasted = 0;  // lines finished in this paste
    bool colour = false;
    bool one_line = false;   // a prompt: keys after the first line finished wait in `pending`
    bool after_cr = false;   // the last key was a CR
    bool shown = false;      // the input is on the screen
    int cursor_row = 0;      // the cursor's row below the input's first, as drawn
};

struct EditorOutput {
    std::string screen;              // bytes for the terminal
    std::vector<EditedLine> lines;   // finished lines, in order
    bool ended = false;              // Ctrl+D on an empty line
};

// Takes `size` bytes of keys; a key cut between two calls waits for the rest. Once `ended`,
// nothing more is taken.
void editor_keys(LineEditor* editor, const char* keys, std::size_t size, EditorOutput* out);

// The terminal is now `width` columns wide: the input is drawn again.
void editor_resize(LineEditor* editor, int width, std::string* screen);

// Takes the input off the screen: the cursor ends at the start of its first row.
void editor_hide(LineEditor* editor, std::string* screen);
// Draws prompt, text and cursor from the start of a row.
void editor_show(LineEditor* editor, std::string* screen);

// Columns a code point takes: 0 for combining marks, 2 for East Asian wide ones, else 1.
int char_columns(std::uint32_t code);

// Colours for the screen, at a terminal that is to show them.
inline constexpr const char* kColourPeer = "\x1b[36m";
inline constexpr const char* kColourOwn = "\x1b[32m";
inline constexpr const char* kColourNotice = "\x1b[33m";
inline constexpr const char* kColourOff = "\x1b[0m";
