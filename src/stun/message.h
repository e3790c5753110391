// The STUN message (RFC 5389, RFC 8489) as every exchange with a STUN or TURN server uses it:
// the 20-byte header, the attribute walk, address values, and the two checks a message can
// carry, MESSAGE-INTEGRITY (HMAC-SHA1) and FINGERPRINT (CRC-32 xor 0x5354554e).
//
//  0                   1                   2                   3
//  0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1 2 3 4 5 6 7 8 9 0 1
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |0 0|     STUN Message Type     |         Message Length        |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |                         Magic Cookie                          |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// |                  Transaction ID (96 bits)                     |
// +-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+-+
// Attributes follow: Type (16), Length (16), Value padded to 4 bytes. An address value is
// reserved (8), Family (8, 0x01 = IPv4, 0x02 = IPv6), Port (16), Address (32 or 128); in the XOR-
// kinds the port is XORed with the cookie's upper 16 bits, an IPv4 address with the cookie and an
// IPv6 one with the cookie and the transaction id.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bytes/byte_order.h"  // an attribute's value is read with it
#include "platform/platform.h"

inline constexpr std::size_t kStunHeaderSize = 20;
inline constexpr std::size_t kTransactionIdSize = 12;
inline constexpr std::uint32_t kMagicCookie = 0x2112A442;
// The port STUN servers, and TURN servers with them, listen on unless they say otherwise.
inline constexpr std::uint16_t kStunDefaultPort = 3478;
inline constexpr std::uint8_t kFamilyIpv4 = 0x01;
inline constexpr std::uint8_t kFamilyIpv6 = 0x02;
inline constexpr std::uint16_t kAttrMappedAddress = 0x0001;
inline constexpr std::uint16_t kAttrMessageIntegrity = 0x0008;
inline constexpr std::uint16_t kAttrXorMappedAddress = 0x0020;
inline constexpr std::uint16_t kAttrFingerprint = 0x8028;
inline constexpr std::size_t kIntegritySize = 20;

// A received message whose header holds: at least 20 bytes, the two top bits clear, the cookie,
// and a Message Length that the bytes received cover. `size` is the header and that length.
struct StunMessage {
    const std::uint8_t* data;
    std::size_t size;
    std::uint16_t type;
};

bool stun_read_header(const std::uint8_t* data, std::size_t size, StunMessage* message);

struct StunAttribute {
    std::uint16_t type;
    const std::uint8_t* value;
    std::size_t length;
    std::size_t offset;  // of its type field, from the start of the message
};

enum class StunWalk { attribute, end, malformed };

// The attribute at `*at` (0 for the first after the header), moving `*at` past it and its
// padding. `end` once fewer than 4 bytes remain; `malformed` for a value that runs past the
// message.
StunWalk stun_next(const StunMessage& message, std::size_t* at, StunAttribute* attribute);

// An address value of `message` (8 bytes at least for IPv4, 20 for IPv6); `xored` for the XOR-
// kinds.
bool stun_address(const StunMessage& message, const StunAttribute& attribute, bool xored,
                  platform::Endpoint* out);

// Checks over the message as it stood up to `attribute` (its type field), with the Message
// Length it had when the attribute was the last: the HMAC-SHA1 under `key`, or the CRC-32.
bool stun_integrity_holds(const StunMessage& message, const StunAttribute& attribute,
                          const std::uint8_t* key, std::size_t key_size);
bool stun_fingerprint_holds(const StunMessage& message, const StunAttribute& attribute);

// A message being written into `data`. Writing past `capacity` is refused and sets `overflow`,
// so that a caller checks once, at the end.
struct StunWriter {
    std::uint8_t* data;
    std::size_t capacity;
    std::size_t size;
    bool overflow;
};

void stun_begin(StunWriter* w, std::uint16_t type, const std::uint8_t id[kTransactionIdSize]);
void stun_add(StunWriter* w, std::uint16_t type, const void* value, std::size_t length);
// XORed; IPv4 only (an IPv6 address sets `overflow`).
void stun_add_address(StunWriter* w, std::uint16_t type, platform::Endpoint address);
void stun_add_integrity(StunWriter* w, const std::uint8_t* key, std::size_t key_size);
void stun_add_fingerprint(StunWriter* w);
