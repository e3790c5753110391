// The way of every datagram to the peer.
#pragma once

#include <cstddef>

struct PeerSession;

// Sends to the peer's endpoint: through the relay once it is chosen, else from the socket, for a
// datagram that nothing sends again `patiently` (sockets/sockets.h).
void send_to_peer(PeerSession* session, const void* data, std::size_t size, bool patiently);
