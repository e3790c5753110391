// The chat at a terminal: typed lines edited in place while the peer's lines arrive above them.
#pragma once

#include <cstdio>
#include <string>

struct Console;
struct PeerSession;

// Chats through the line editor when `in` is standard input and standard input and output are
// both a terminal, until "quit" typed alone, Ctrl+D on an empty line, the end of input, an
// interrupt or a receiver that cannot go on; the terminal is given back as it was. False, having
// done nothing, elsewhere. Colour unless `no_color` or NO_COLOR is set.
bool chat_at_terminal(PeerSession* session, std::FILE* in, bool no_color);

enum class Asked { line, ended, no_terminal };

// At a terminal (as chat_at_terminal finds one): asks `prompt` through the line editor, before the
// console writer starts; the line typed in `answer`. What came after it waits for the next prompt
// or the chat.
// Asked::ended for Ctrl+D on an empty line or the end of input; no_terminal, having done nothing,
// elsewhere. The finished line stays on the screen; the terminal is given back after it.
Asked ask_at_terminal(Console* console, std::FILE* in, const char* prompt, std::string* answer);
