// Learning the public address and port that the NAT maps our socket to, from a STUN server.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// The public STUN service natchat asks.
inline constexpr const char* kStunServerHost = "stun.l.google.com";
inline constexpr std::uint16_t kStunServerPort = 19302;

struct StunServer {
    const char* host;
    std::uint16_t port;
};

// Sends one Binding Request to `server` up to five times, waiting two seconds for each answer, and
// prints the outcome. Only an answer from the address asked counts. True fills `public_ip` (16
// bytes at least), `public_port` and the server's address; false leaves them.
bool discover_public_address(StunServer server, platform::Socket sock, char* public_ip,
                             std::uint16_t* public_port, platform::Endpoint* answered_by);
