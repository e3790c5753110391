// The secure session between two natchat peers: a commit-then-reveal X25519 exchange, a key for
// each direction, a short code for the users to compare by voice, and sealed records.
//
// Each of these datagrams starts with "KEEPALIVE", so that a peer which does not know them takes
// them for keepalives and shows nothing:
//
//   "KEEPALIVE" 00 'C'  SHA-256 of the sender's public key (32)          commitment
//   "KEEPALIVE" 00 'R'  the sender's X25519 public key (32)              reveal, sent only once
//                                                                        the peer's commitment is in
//   "KEEPALIVE" 00 'S'  counter (8, big-endian)  ChaCha20-Poly1305 ciphertext of kind (1) and
//                       body  tag (16)                                   sealed record
//
// A record's nonce is 4 zero bytes and its counter; the 19 bytes before the ciphertext are
// authenticated with it. A counter is never used twice in one direction, and the receiver opens
// each counter at most once (a 64-record window behind the highest one).
#pragma once

#include <cstddef>
#include <cstdint>

#include "peer/protocol.h"
#include "bytes/wipe.h"

inline constexpr std::size_t kEnvelopeHeader = 11;  // "KEEPALIVE" 00 and the type
inline constexpr std::size_t kHandshakeSize = kEnvelopeHeader + 32;
inline constexpr std::size_t kRecordOverhead = kEnvelopeHeader + 8 + 1 + 16;  // and a kind byte
// The longest body of any record: a line's sequence number and its text.
inline constexpr std::size_t kMaxRecordBody = 4 + kMaxChatLine;

struct Handshake {
    std::uint8_t secret[32];  // wiped once the keys are agreed
    std::uint8_t pub[32];
    std::uint8_t commit[32];
    // The peer's commitment, the only one a reveal may answer: the first binds. Our reveal goes
    // out as soon as it is kept, and a commitment taken after that would let whoever sits in
    // between choose its key knowing ours, and try key after key until both screens show the
    // same code.
    std::uint8_t peer_commit[32];
    bool peer_committed;
};

// The agreed keys and the record counters of one session.
struct Channel {
    std::uint8_t send_key[32];
    std::uint8_t recv_key[32];
    std::uint64_t sent;     // records sealed so far
    std::uint64_t highest;  // highest counter opened, 0 before the first
    std::uint64_t seen;     // bit i: counter highest - i was opened
    char code[10];          // "1234 5678": 26 bits the users compare
};

enum class EnvelopeType { none, commit, reveal, record };

// Starts the cryptographic library, once however often it is called; before any other call here.
bool envelope_startup();


// A fresh key pair and its commitment.
bool handshake_start(Handshake* h);

EnvelopeType envelope_type(const std::uint8_t* data, std::size_t size);

// The commitment or reveal datagram (kHandshakeSize bytes).
void make_commit(const Handshake* h, std::uint8_t out[kHandshakeSize]);
void make_reveal(const Handshake* h, std::uint8_t out[kHandshakeSize]);

// Takes a commitment of the peer's: true when it is kept (or was already); false for a malformed
// one, our own sent back, or another once one is kept.
bool take_commit(Handshake* h, const std::uint8_t* data, std::size_t size);

// Takes the peer's reveal: true when it matches a commitment kept before it, and then `channel`
// holds the keys and the code derived from the shared secret and both public keys, and our
// secret key is wiped.
bool take_reveal(Handshake* h, const std::uint8_t* data, std::size_t size, Channel* channel);

// Seals `kind` and `size` bytes of body into `out` (size + kRecordOverhead bytes).
std::size_t seal_record(Channel* channel, std::uint8_t kind, const void* body, std::size_t size,
                        std::uint8_t* out);

// Opens a record: false for anything altered, forged, replayed, too old or with a body longer
// than `capacity`; else the kind, and the body in `body` with its length.
bool open_record(Channel* channel, const std::uint8_t* data, std::size_t size, std::uint8_t* kind,
                 std::uint8_t* body, std::size_t capacity, std::size_t* body_size);
