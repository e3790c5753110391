// Learning the public address and port that the NAT maps our socket to, and how the NAT maps,
// from STUN servers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "session/session.h"
#include "stun/message.h"

struct StunServer {
    const char* host;
    std::uint16_t port;
};

// The public STUN services natchat asks unless told otherwise: two operators at two addresses,
// so that the answers show whether the NAT maps each destination apart.
inline constexpr StunServer kDefaultStunServers[] = {
    {"stun.l.google.com", 19302},
    {"stun.cloudflare.com", kStunDefaultPort},
};

// Reports the LAN address toward the primary, the first server's first address (see
// report_lan_address), then asks every address of the servers at once and sends again to those
// that have not answered, up to five times, two seconds apart. Prints the outcome, the retries
// for the primary, and the NAT's verdict on a line of its own. Only an answer from an address
// asked counts; the primary's mapping is the one reported when it answers. True fills
// `local_ip`, `public_ip`, `public_port`, `stun_server` and `nat` of the session. False has said
// which servers failed and what the user can do instead.
bool discover_public_address(PeerSession* session, const StunServer* servers, std::size_t count);

// Without STUN: reports the LAN address (the one routing picks toward the internet), takes this
// computer's global IPv6 address, if it has one, with our port as the endpoint the peer can reach
// over IPv6, and says that nothing is known of the NAT.
void find_local_endpoints(PeerSession* session);

// What the mappings that `count` servers reported say of the NAT, for a socket bound to `local`
// (the address routing sends from, and the socket's port).
NatKind nat_verdict(platform::Endpoint local, const platform::Endpoint* mapped, std::size_t count);
