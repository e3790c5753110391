// The program's one UDP socket and the computer's LAN address.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

struct PeerSession;

// Starts the socket library, opens the non-blocking UDP socket on `port` of every interface (0: an
// ephemeral one) and reports the local port. On false the reason has been printed (a port in use
// says so) and everything acquired here is released again.
bool init_network(PeerSession* session, std::uint16_t port);

// Behind a symmetric NAT: `sock` and up to kSpareSockets more, non-blocking and bound, become the
// session's candidate sockets. Fewer when the system runs out of sockets.
void open_candidates(PeerSession* session);

// Closes every candidate socket but `sock` and the relay's; the list is empty afterwards.
void close_candidates(PeerSession* session);

// Closes the candidates and the socket, and ends the use of the socket library, in that order.
void release_network(PeerSession* session);

// The LAN address is the one this computer sends from toward `toward` (the STUN server): a peer
// on the same network reaches it, whatever other adapters (a VPN, containers) the host has. Fills
// the session's `local_ip` with it, or with "unknown" when there is none (no route, or one that
// stays on this computer), and prints which.
void report_lan_address(PeerSession* session, const platform::Endpoint* toward);

// Sends one datagram that nothing will send again. A socket that cannot take it just now (a full
// send buffer, or under Wine another thread's send still in progress) is given up to about a
// second; any other failure goes unreported, like every other send.
void send_patiently(platform::Socket sock, const void* data, std::size_t size,
                    platform::Endpoint to);
