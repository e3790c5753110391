// Proof from the peer line: each side's line carries a tag of random bytes that only those who
// were given the line know, and natchat appends to its punches, their answers and its
// commitments a proof that it knows its own tag. The side that was given the line checks it:
// a datagram that proves itself comes from the line's owner, from whatever port and address it
// arrives, while a stranger who never saw the line cannot make one.
//
//   datagram  00 'P'  the first 16 bytes of HMAC-SHA256(key: the sender's tag, the datagram)
//
// A peer that knows nothing of it still reads the datagram by its first bytes: a punch, an
// answer or a keepalive.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shared/address_text.h"

inline constexpr std::size_t kProofSize = 18;

// Appends the proof under `tag` to the `size` bytes at `datagram`, which has room for
// kProofSize more; returns the new size.
std::size_t proof_append(const std::uint8_t tag[kLineTagSize], std::uint8_t* datagram, std::size_t size);

// Whether the datagram ends in a proof under `tag`.
bool proof_holds(const std::uint8_t tag[kLineTagSize], const std::uint8_t* data, std::size_t size);

// A punch or its answer as natchat sends it: the word and its proof under our tag.
struct ProvenWord {
    std::uint8_t bytes[16 + kProofSize];
    std::size_t size;
};

// `word`: at most 16 characters.
ProvenWord proven_word(const std::uint8_t tag[kLineTagSize], const char* word);
