// The connection information screen and the interactive entry of the peer's address and port.
#pragma once

#include <cstdint>
#include <cstdio>

#include "shared/address_text.h"

struct PeerSession;

// Shows how this computer can be reached, then asks for the peer's address and port on `in`.
// A value whose line cannot be read (end of input) keeps what the caller put there.
void prompt_peer_info(PeerSession* session, char peer_ip[kPeerIpSize], std::uint16_t* peer_port,
                      std::FILE* in);
