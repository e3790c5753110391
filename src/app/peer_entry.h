// The connection information screen and the interactive entry of the peer's address and port.
#pragma once

#include <cstdint>
#include <cstdio>

#include "address/address_text.h"

struct PeerSession;

// Every endpoint this side can be reached at, as the peer line shows them: the public IPv4 one,
// the public IPv6 one, the LAN one.
PeerLine own_peer_line(const PeerSession* session);

// "Your peer line: " and that line, with our tag.
void print_peer_line(const PeerSession* session);

// Shows how this computer can be reached, then asks for the peer's address and port on `in`;
// true when a peer line came instead of an address (the port is not asked then). A value whose
// line cannot be read (end of input) keeps what the caller put there.
bool prompt_peer_info(PeerSession* session, char peer_ip[kPeerIpSize], std::uint16_t* peer_port,
                      std::FILE* in);
