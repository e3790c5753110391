// The receiver thread: from the first punch on, the only reader of the socket.
#pragma once

#include <cstddef>
#include <cstdint>

// Thread procedure; `arg` is the PeerSession. Counts every non-empty datagram, answers punches
// to their sender, swallows acknowledgements and keepalives, and prints chat lines. Ends when
// `running` clears or on a receive error it cannot go on from. Always returns 0.
int receive_loop(void* arg);

struct PeerSession;

// Shows one line from the peer (its first kMaxChatLine bytes) as printable text; the first one
// also says that the connection stands, if nothing had said so yet.
void show_peer_line(PeerSession* session, const std::uint8_t* data, std::size_t size);
