// The private, lossless chat between two natchat peers, on top of the plain peer link: agrees the
// session (envelope.h) once the path is open, then carries every typed line sealed and in order
// (delivery.h). A peer that shows no sign of it within 3 s gets the plain protocol, and the user
// is told that the chat is not encrypted. Lines typed before that is decided wait.
//
// The receiver thread, the keepalive thread and the main thread all call in; one lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "peer/delivery.h"
#include "peer/envelope.h"
#include "platform/platform.h"

struct PeerSession;

enum class LinkMode { agreeing, secure, plain };

struct SecureLink {
    platform::Lock lock;
    LinkMode mode;
    Handshake handshake;
    Channel channel;
    Delivery delivery;
    bool peer_offered;         // a commitment or reveal came from the peer
    bool peer_has_keys;        // a sealed record of the peer's opened
    bool started;              // the path is open and the agreement runs
    std::uint32_t started_at;  // tick of that
    bool offered;
    std::uint32_t offered_at;  // tick of our latest commitment (and reveal)
    std::int32_t rejected;     // sealed datagrams that did not open, plain lines refused
};

// A new link with a fresh key pair in `session->secure`; false when the keys cannot be made.
bool secure_link_open(PeerSession* session);
void secure_link_close(PeerSession* session);

// Receiver thread: a datagram from the peer. True when it belonged to the secure session or
// must not be shown (a plain line or bye once the peer has offered the secure session); the
// receiver then does nothing more with it. `left` is set when a sealed bye came.
bool secure_link_receive(PeerSession* session, const std::uint8_t* data, std::size_t size,
                         bool* left);

// Keepalive thread: offers, decides, resends. Returns the milliseconds until it is due again.
std::uint32_t secure_link_tick(PeerSession* session);

// Main thread: one typed line, sealed and delivered, or plain once the peer turned out plain.
void secure_link_send(PeerSession* session, const char* text, std::size_t size);

// Main thread, at the end: waits (at most `limit_ms`) until the mode is decided and every line is
// acknowledged, then tells the peer that we leave.
void secure_link_finish(PeerSession* session, std::uint32_t limit_ms);

// Datagrams from the peer's address that were refused: records that did not open, and plain lines
// once the peer had offered the secure session.
std::int32_t secure_link_refused(PeerSession* session);
