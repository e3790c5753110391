// The private, lossless chat between two natchat peers, on top of the plain peer link: agrees the
// session (envelope.h) once the path is open, then carries every typed line sealed and in order
// (delivery.h). A peer that shows no sign of it within 3 s gets the plain protocol, and the user
// is told that the chat is not encrypted. Once the peer has offered the secure session nothing
// goes out in plain text: an agreement that does not come is reported, and lines are not sent.
// Lines typed before the mode is decided wait.
//
// The receiver thread, the keepalive thread and the main thread all call in; one lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "secure/delivery.h"
#include "secure/envelope.h"
#include "platform/platform.h"

struct PeerSession;

enum class LinkMode {
    agreeing,
    secure,
    plain,   // the peer's program offers no secure session
    failed,  // it offered one, but none was agreed: nothing is sent
};

struct SecureLink {
    platform::Lock lock;
    LinkMode mode;
    Handshake handshake;
    Channel channel;
    Delivery delivery;
    bool peer_offered;         // a commitment of the peer's was kept: never plain from then on
    bool peer_has_keys;        // a sealed record of the peer's opened
    bool unconfirmed_told;     // the user knows the peer never confirmed the session
    bool started;              // the path is open and the agreement runs
    bool recheck;              // see secure_link_recheck
    std::uint32_t started_at;  // tick of that
    int offers;                // since the agreement began: 0 before the first
    std::uint32_t offered_at;  // tick of our latest commitment (and reveal)
    std::uint64_t rejected;    // sealed datagrams refused, plain lines refused
    std::size_t sent_plain;    // lines sent in plain text, and the first of them
    std::string first_plain;
};

// What a datagram from the peer brought.
struct Received {
    bool taken = false;   // it was the secure session's, or refused: nothing more to do with it
    bool opened = false;  // a sealed record that opened under the session key
    bool newest = false;  // ... and the newest yet: none held back and sent later
    bool refused = false; // a record that did not open, or plain text the session does not allow
    bool left = false;    // a sealed bye
    std::vector<std::string> lines;  // the peer's lines now ready to show, in order
};

// A new link with a fresh key pair in `session->secure`; false when the keys cannot be made.
bool secure_link_open(PeerSession* session);
// Receiver thread: the peer turned out to be elsewhere than the one we were agreeing with. If a
// commitment was kept (and our key revealed to it), the agreement starts over with a fresh key.
void secure_link_restart(PeerSession* session);
// Receiver thread: the path left a port nobody typed for an endpoint the user gave. The next
// commitment from the peer tells: the one kept, and the agreement goes on; another, and it starts
// over as secure_link_restart does.
void secure_link_recheck(PeerSession* session);
// Receiver thread: the peer that had left punches again where the user gave it: its program
// started anew. Whatever was being agreed or held goes, keys wiped and lines still unconfirmed
// reported, and a new session is agreed as at the start. A plain chat stays plain.
void secure_link_renew(PeerSession* session);
// Wipes the keys and releases the link.
void secure_link_close(PeerSession* session);

// What the endpoint a datagram came from may do, as who the peer is decides it.
struct Sender {
    bool elsewhere;  // not where the peer is taken to be: only a sealed record that opens counts
    bool plain;      // an endpoint the user gave, where plain lines and byes may come from
    bool binds;      // its commitment may bind our handshake
};

// Receiver thread: a datagram from the peer.
void secure_link_receive(PeerSession* session, const std::uint8_t* data, std::size_t size,
                         const Sender& from, Received* received);

// Whether the peer has offered the secure session (a commitment of its was kept).
bool secure_link_offered(PeerSession* session);

// Keepalive thread: offers, decides, resends. Returns the milliseconds until it is due again.
std::uint32_t secure_link_tick(PeerSession* session);

// Main thread: one typed line, sealed and delivered, or plain once the peer turned out plain.
void secure_link_send(PeerSession* session, const char* text, std::size_t size);

// Main thread: waits until the mode is decided (or `running` clears); true when it is secure.
bool secure_link_settle(PeerSession* session);

// Main thread, at the end: waits (at most `limit_ms`) until the mode is decided and every line is
// acknowledged, says which lines did not make it, then tells the peer that we leave.
void secure_link_finish(PeerSession* session, std::uint32_t limit_ms);

// Datagrams from the peer's address that were refused: records that did not open or broke the
// rules, and plain lines once the peer had offered the secure session.
std::uint64_t secure_link_refused(PeerSession* session);
