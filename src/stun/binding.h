// STUN Binding Request and Binding Success Response (RFC 5389), IPv4 only.
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
// reserved (8), Family (8, 0x01 = IPv4), Port (16), Address (32); in XOR-MAPPED-ADDRESS the port
// is XORed with the cookie's upper 16 bits and the address with the whole cookie.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t kStunHeaderSize = 20;
inline constexpr std::size_t kTransactionIdSize = 12;
inline constexpr std::uint16_t kBindingRequest = 0x0001;
inline constexpr std::uint16_t kBindingSuccessResponse = 0x0101;
inline constexpr std::uint32_t kMagicCookie = 0x2112A442;
inline constexpr std::uint16_t kAttrMappedAddress = 0x0001;
inline constexpr std::uint16_t kAttrXorMappedAddress = 0x0020;
inline constexpr std::uint8_t kFamilyIpv4 = 0x01;

// Writes a 20-byte Binding Request with a new id from the system's random source, which it also
// copies into `id`. False when no random bytes could be had.
bool build_binding_request(std::uint8_t request[kStunHeaderSize], std::int32_t* length,
                           std::uint8_t id[kTransactionIdSize]);

// Decodes the first usable IPv4 (XOR-)MAPPED-ADDRESS of a Binding Success Response that answers
// `expected_id`. `ip_text` needs 16 bytes. False, with both outputs untouched, for anything else,
// including a Message Length that claims more bytes than arrived.
bool parse_binding_response(const std::uint8_t* data, std::int32_t size,
                            const std::uint8_t expected_id[kTransactionIdSize], char* ip_text,
                            std::uint16_t* port);
