// The console's output: one writer thread owns standard output, and every other thread only hands
// it whole texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "console/line_editor.h"
#include "platform/platform.h"

// Text on its way to standard output. The console writer owns the output, and everyone else
// only adds here, so a console that takes nothing for a while (Ctrl+S, a selection in a Windows
// console, a pipe nobody reads) never holds up the network: keepalives, acknowledgements and
// resends go on, and the text follows in order once the console moves again. The queue holds
// a few thousand of the longest lines, so a stall of a minute loses nothing; beyond that,
// rather than grow without end or make the network wait, what comes is dropped whole until the
// writer takes the queue, and a notice then says how much.
inline constexpr std::size_t kConsoleQueueLimit = 8u << 20;

struct ConsoleQueue {
    std::string text;
    std::size_t limit = kConsoleQueueLimit;
    std::size_t dropped = 0;  // texts dropped since the writer last took the queue
    bool writer = false;      // a writer takes the text; without one, it is written at once
    // Where the input line's last drawing begins, when nothing follows it: a text that comes
    // before the writer has taken it replaces it, so a burst of lines draws the input once.
    std::size_t redraw_at = std::string::npos;
};

// Adds `text` whole, or drops it whole at the limit (false).
bool console_queue_add(ConsoleQueue* queue, const char* text);

// Moves everything queued into `out` (emptied first), with the notice of what was dropped.
void console_queue_take(ConsoleQueue* queue, std::string* out);


struct Console {
    platform::Lock lock;  // guards the queue, and what the user was told about the peer
    ConsoleQueue queue;
    platform::Thread thread;
    platform::Waker wake;  // a nudge: text waits; the stop signal: write the rest, end
    // At a terminal, the line being typed, kept whole below what is printed (under the lock);
    // null on a pipe, where every text goes out as it stands.
    LineEditor* editor = nullptr;
};

// The waker and the lock, no writer yet; false (nothing held) when the waker cannot be made.
bool console_init(Console* console);
void console_destroy(Console* console);

// Starts the console writer: from then on every print goes through the queue. False, having
// said so, when its thread cannot start.
bool console_start(Console* console);

// Has the writer write what is queued and end, within `limit_ms`; true when it has ended (or
// never started). Once it has, prints are written at once again.
bool console_stop(Console* console, std::uint32_t limit_ms);

// Hands `text`, exactly as it stands (a '%' is just a character), to the console whole: to the
// writer when it runs, else written and flushed at once under the lock.
void safe_print(Console* console, const char* text);

// safe_print of a formatted text (at most 1023 bytes).
[[gnu::format(printf, 2, 3)]] void safe_printf(Console* console, const char* format, ...);

// safe_print for a caller that holds the console lock already.
void console_write(Console* console, const char* text);

// At a terminal: from now on what is printed goes above the input line, which is drawn again
// after it, in colour when `editor->colour`.
void console_edit_begin(Console* console, LineEditor* editor);

// Keys typed: the editor takes them under the lock, and what it draws follows what is queued.
void console_keys(Console* console, const char* keys, std::size_t size, EditorOutput* out);

// The terminal has `width` columns now.
void console_resize(Console* console, int width);

// The input line leaves the screen; texts are printed as they stand again.
void console_edit_end(Console* console);

// A text as the screen shows it above the input line: on a fresh row of its own, without the
// prompt that ends it on a pipe, in the colour of who says it.
std::string terminal_text(const char* text, bool colour);
