// The connection information screen and the interactive entry of the peer's address and port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct PeerSession;

// Room for an address as typed: 255 characters and the terminator.
inline constexpr std::size_t kPeerIpSize = 256;

// Shows how this computer can be reached, then asks for the peer's address and port on `in`.
// A value whose line cannot be read (end of input) keeps what the caller put there.
void prompt_peer_info(PeerSession* session, char peer_ip[kPeerIpSize], std::uint16_t* peer_port,
                      std::FILE* in);

// A port as typed, read as atoi would (leading blanks, a sign, digits up to the first other
// character, 0 without digits) and kept modulo 65536; any number of digits is safe.
std::uint16_t parse_port_text(const char* text);
