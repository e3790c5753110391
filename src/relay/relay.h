// A relayed address on a TURN server, for when no direct path opens: allocated at start-up from
// the session's own socket, refreshed for as long as natchat runs, and deleted at the end. The
// relay carries what natchat would send directly; the secure session keeps it private, so the
// relay sees only sealed records, or plain text when the peer offers no secure session.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

struct PeerSession;

struct RelayServer {
    char host[256];
    std::uint16_t port;
    char user[128];
    char password[128];
};

// "USER:PASSWORD@HOST[:PORT]", port 3478 unless given. False for anything else.
bool parse_relay_server(const char* text, RelayServer* out);

// The session's relay at `server`, before any exchange with it; relay_allocate's first step.
void relay_open(PeerSession* session, platform::Endpoint server, const char* user, const char* password);

// Main thread, before the receiver starts: allocates and prints "Relayed address: IP:PORT", or
// one line saying why there is no relay. True sets the session's `relay` and `relayed`.
bool relay_allocate(PeerSession* session, const RelayServer& server);

// Main thread, once the receiver has ended: deletes the allocation and frees the relay.
void relay_release(PeerSession* session);

// Receiver: a datagram from the relay server. A response is taken in and nothing else comes of
// it; true only for data that a peer sent to our relayed address, with that peer's address.
bool relay_receive(PeerSession* session, const std::uint8_t* data, std::size_t size,
                   const std::uint8_t** payload, std::size_t* payload_size, platform::Endpoint* peer);

// True when `from` is the relay server.
bool from_relay(const PeerSession* session, platform::Endpoint from);

// Main thread: from now on everything for the peer goes through the relay, which lets the peer's
// address in and binds a channel to it.
void relay_choose(PeerSession* session);
bool relay_chosen(const PeerSession* session);

// Receiver: a direct path opened, and nothing goes through the relay any more; the allocation,
// the permission and the channel stay, refreshed, for a path that may yet fall back to it.
void relay_leave(PeerSession* session);

// Main thread, as punching begins: the relay lets `peer`'s address in at once (a permission), and
// what comes from there through it is taken before the relay is chosen, so that a peer that
// punches our relayed address is heard there.
void relay_admit(PeerSession* session, platform::Endpoint peer);

// Sends through the relay to `to`: on the channel when it is bound to `to`, else in a Send
// indication.
void relay_send(PeerSession* session, const void* data, std::size_t size, platform::Endpoint to);


// Sends the refreshes that are due; the milliseconds until the next one (kForever without relay).
std::uint32_t relay_tick(PeerSession* session);
