// Proof from the peer line: each side's line carries a tag of random bytes that only those who
// were given the line know, and natchat appends to its punches, their answers and its
// commitments a proof that it knows its own tag. The side that was given the line checks it:
// a datagram that proves itself comes from the line's owner, from whatever port it arrives,
// while a stranger who never saw the line cannot make one.
//
//   datagram  00 'P'  the first 16 bytes of HMAC-SHA256(key: the sender's tag,
//                     message: the datagram, then the endpoint it is sent to)
//
// The endpoint is written as its family (4 or 6), its port (2 bytes, big-endian) and its address
// (4 or 16 bytes). Bound so, a proof that reached a stranger (a punch at a LAN address that names
// another host on the wrong network) proves nothing when that stranger sends it on to us: we
// check it against the endpoint of ours that the datagram's way in says it was sent to.
//
// A peer that knows nothing of it still reads the datagram by its first bytes: a punch, an
// answer or a keepalive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "address/address_text.h"

inline constexpr std::size_t kProofSize = 18;

// Appends the proof under `tag` to the `size` bytes at `datagram`, sent to `to`, which has room
// for kProofSize more; returns the new size.
std::size_t proof_append(const std::uint8_t tag[kLineTagSize], std::uint8_t* datagram, std::size_t size,
                         const platform::Endpoint& to);

// Whether the datagram ends in a proof under `tag` of a datagram sent to `to`.
bool proof_holds(const std::uint8_t tag[kLineTagSize], const std::uint8_t* data, std::size_t size,
                 const platform::Endpoint& to);

// A punch or its answer as natchat sends it: the word and its proof under our tag.
struct ProvenWord {
    std::uint8_t bytes[16 + kProofSize];
    std::size_t size;
};

// `word`: at most 16 characters.
ProvenWord proven_word(const std::uint8_t tag[kLineTagSize], const char* word, const platform::Endpoint& to);
