// The chat at a terminal: typed lines edited in place while the peer's lines arrive above them.
#pragma once

#include <cstdio>

struct PeerSession;

// Chats through the line editor when `in` is standard input and standard input and output are
// both a terminal, until "quit" typed alone, Ctrl+D on an empty line, the end of input, an
// interrupt or a receiver that cannot go on; the terminal is given back as it was. False, having
// done nothing, elsewhere. Colour unless `no_color` or NO_COLOR is set.
bool chat_at_terminal(PeerSession* session, std::FILE* in, bool no_color);
