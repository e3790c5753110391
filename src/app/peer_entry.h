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

// What came at the prompts.
struct PeerEntry {
    bool as_line = false;  // a peer line, not an address: the port was not asked
    bool typed = false;    // typed at a terminal, where a refusal is explained and asked again
    bool ended = false;    // the input ended at a terminal: nothing to try
};

// Shows how this computer can be reached, then asks for the peer's address and port on `in`
// (ask_peer_info). A value whose line cannot be read (end of input) keeps what the caller put there.
PeerEntry prompt_peer_info(PeerSession* session, char peer_ip[kPeerIpSize], std::uint16_t* peer_port,
                           std::FILE* in);

// The prompts alone: at a terminal through the line editor, else a line of `in` each.
PeerEntry ask_peer_info(PeerSession* session, char peer_ip[kPeerIpSize], std::uint16_t* peer_port,
                        std::FILE* in);
