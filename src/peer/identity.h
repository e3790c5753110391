// Who the peer is: the one place that answers "is this datagram the peer's, and may it move the
// peer?".
//
// The user gave one endpoint of the peer's, or (with a peer line) several. The first IPv4 one is
// the typed endpoint the rules below speak of; the IPv6 ones are the peer's as surely. The line's
// further IPv4 endpoints are on the peer's own network, where the same private numbers may name a
// host on ours: they count only once a datagram from there proves that its sender was given the
// peer's line (peer/proof.h), or once a sealed record opens there. The path moves to another
// endpoint that counts once that one has answered our punch and ranks higher: the peer's own
// network first, then IPv6, then IPv4 across NATs (see identity_path).
//
// The user typed the peer's address, and its port wins: once anything has come from there, that
// is where the peer is. Another port of the same address matters only while nothing has come from
// the typed one (a peer behind a symmetric NAT answers from a port nobody typed), and then only
// the punching exchange may teach it, once: given a tagged peer line, a datagram that proves
// itself; else two punches in a row from a port our sweep punched. Once a secure session is
// agreed, a record that opens under its key may move the peer too (the secure link checks that;
// the receiver calls identity_move). Anything else from another port is a stranger's, whatever it
// claims.
//
// Plain text goes only to and from an endpoint the user gave: a port learned, or a LAN endpoint,
// carries only the secure session, and a learned port whose sender offers none is dropped.
#pragma once

#include <cstddef>
#include <cstdint>

#include "peer/protocol.h"
#include "platform/platform.h"
#include "address/address_text.h"
#include "console/events.h"

struct PeerSession;

enum class Claim {
    stranger,    // another address, or the STUN server's answer
    peer,        // the peer's endpoint
    other_port,  // the peer's address, another port: nothing until proven
    typed_again,  // the typed endpoint, after another port was taken for the peer's: the peer now
    candidate,    // another endpoint the user gave: the peer's, on a path we are not sending on
    unproven,     // a LAN endpoint of the peer line that has not proven itself: nothing until then
};

// The endpoints the user gave: everything goes to the typed one for now.
void identity_begin(PeerSession* session, const PeerLine& line);

// How the path to `to` ranks: 0 the peer's own network (an IPv4 endpoint of the line on another
// address than the typed one), 1 IPv6, 2 the peer's router's mapping (another port of the typed
// address in the line), 3 IPv4 across NATs, 4 the peer's relayed address. Lower is better.
int path_rank(const PeerSession* session, const platform::Endpoint& to);

// The kind of path that path_rank ranks.
PathKind path_kind(const PeerSession* session, const platform::Endpoint& to);

// Nothing from where we send for this long: the path is taken for dead.
inline constexpr std::uint32_t kPathQuietMs = 15000;

enum class PathMove {
    stay,
    moved,
    from_learned,  // moved off a port nobody typed: an agreement begun there must be checked
};

// Receiver thread, for a datagram from an endpoint the user gave: whether it moves the path there
// (it has then moved). Upward in rank: until the connection stands, on the endpoint's answer to
// our punch; after that only on a sealed record that opened there (`opened`), so that each side
// moves up to where the other sends and both end on the same path. When nothing has come from
// where we send for kPathQuietMs, either one moves the path whatever the rank; while nothing at
// all has come from the typed endpoint, the peer's relay does when it answers. Moving off
// our relay's path leaves the relay (kept as a fall-back) and tells the user once. A LAN endpoint
// where a sealed record opened counts from now on, wherever the path goes.
PathMove identity_path(PeerSession* session, DatagramKind kind, bool opened, platform::Endpoint from);

// Whether our relay lets the peer in as punching begins: given a tagged peer line (a typed
// address has the direct way tried first), unless both sides share one NAT or the relay both use
// is the peer's (when both have one, the lower relayed address's).
bool identity_early_relay(const PeerSession* session, const PeerLine& line);

// Main thread: our sweep punched this port of the peer's address.
void identity_punched(PeerSession* session, std::uint16_t port);

// Whether `from` is an endpoint the user gave that may carry plain text: the typed one, or an
// IPv6 one of the peer line.
bool identity_gave(const PeerSession* session, const platform::Endpoint& from);

// Whether plain text may come from `from` and go there: an endpoint the user gave, of a peer that
// may speak only plain text. A peer whose line carries a tag runs natchat and offers a secure
// session: from it, never; even its typed port may be someone else's mapping on its router.
bool identity_plain(const PeerSession* session, const platform::Endpoint& from);

// Which endpoint of ours a datagram from `from` was sent to, as the peer knows them from our line:
// the relayed address when it came through our relay, our LAN endpoint when it came from one of
// the peer's, our IPv6 or our public IPv4 endpoint otherwise.
platform::Endpoint identity_addressed(const PeerSession* session, const platform::Endpoint& from, bool relayed);

// Whether the path to `to` counts without an offer: an endpoint of the peer line (a LAN one is
// reached only once proven), or, given a tagged line, a port learned by its proof.
bool identity_sure(const PeerSession* session, const platform::Endpoint& to);

// Whether a commitment from `from` may bind our handshake before the agreement: from an endpoint
// the user gave, or `proven`, or from wherever the peer is taken to be (which, given a tagged line,
// only a proof moves the path to).
bool identity_may_bind(PeerSession* session, const platform::Endpoint& from, bool proven);

// Main thread: the path is on a port nobody gave, whose sender offers no secure session: that port
// is dropped for good and everything goes to the typed endpoint again, so that learning goes on.
// False when the path was on an endpoint the user gave.
bool identity_drop_learned(PeerSession* session);

// Receiver thread: judges who sent this datagram (`proven`: it proved the peer's line), and acts
// on what that settles. Until a secure session is agreed, a datagram from the typed endpoint
// brings the peer back there for good (typed_again: whoever answered from the other port was not
// the peer, and what it was told must not count). Once agreed, the user is told, once, that the
// typed endpoint speaks: whoever the session is with, the codes will show it.
Claim identity_judge(PeerSession* session, const std::uint8_t* data, std::size_t size,
                     platform::Endpoint from, bool proven);

// Receiver thread, for a datagram from another port of the peer's address: true when the punching
// exchange moves the peer there (it has then moved). Given a tagged peer line, a datagram that
// proves itself (`proven`) does, and nothing else. Without one, two punches in a row from a port
// our sweep punched; through our relay (`relayed`) from any port of the peer's address: the relay
// lets in that address alone, and the peer's NAT maps its way to the relay apart from any port we
// could punch.
bool identity_learn(PeerSession* session, DatagramKind kind, platform::Endpoint from, bool relayed,
                    bool proven);

// Everything goes to `to` from now on, and the user is told.
void identity_move(PeerSession* session, platform::Endpoint to);
