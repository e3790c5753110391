// Who the peer is: the one place that answers "is this datagram the peer's, and may it move the
// peer?".
//
// The user typed the peer's address, and its port wins: once anything has come from there, that
// is where the peer is. Another port of the same address matters only while nothing has come from
// the typed one (a peer behind a symmetric NAT answers from a port nobody typed), and then only
// the punching exchange may teach it, once: two punches in a row from a port our sweep punched. Once a
// secure session is agreed, a record that opens under its key may move the peer too (the secure
// link checks that; the receiver calls identity_move). Anything else from another port is a
// stranger's, whatever it claims.
#pragma once

#include <cstddef>
#include <cstdint>

#include "peer/protocol.h"
#include "platform/platform.h"

struct PeerSession;

enum class Claim {
    stranger,    // another address, or the STUN server's answer
    peer,        // the peer's endpoint
    other_port,  // the peer's address, another port: nothing until proven
    typed_again,  // the typed endpoint, after another port was taken for the peer's: the peer now
};

// The address typed: everything goes there for now.
void identity_begin(PeerSession* session, platform::Endpoint typed);

// Main thread: our sweep punched this port of the peer's address.
void identity_punched(PeerSession* session, std::uint16_t port);

// Receiver thread: who sent this datagram. Until a secure session is agreed, a datagram from the
// typed endpoint brings the peer back there for good (typed_again: whoever answered from the other
// port was not the peer, and what it was told must not count). Once agreed, the user is told, once,
// that the typed endpoint speaks: whoever the session is with, the codes will show it.
Claim identify(PeerSession* session, const std::uint8_t* data, std::size_t size,
               platform::Endpoint from);

// Receiver thread, for a datagram from another port of the peer's address: true when the punching
// exchange moves the peer there (it has then moved). Through our relay (`relayed`) any port of the
// peer's address may be learned so: the relay lets in that address alone, and the peer's NAT maps
// its way to the relay apart from any port we could punch.
bool identity_learn(PeerSession* session, DatagramKind kind, platform::Endpoint from, bool relayed);

// Everything goes to `to` from now on, and the user is told.
void identity_move(PeerSession* session, platform::Endpoint to);
