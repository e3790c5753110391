// STUN Binding Request and Binding Success Response (RFC 5389); the message layout is
// stun/message.h's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stun/message.h"

inline constexpr std::uint16_t kBindingRequest = 0x0001;
inline constexpr std::uint16_t kBindingSuccessResponse = 0x0101;
// Writes a 20-byte Binding Request with a new id from the system's random source, which it also
// copies into `id`. False when no random bytes could be had.
bool build_binding_request(std::uint8_t request[kStunHeaderSize], std::int32_t* length,
                           std::uint8_t id[kTransactionIdSize]);

// Decodes the first usable (XOR-)MAPPED-ADDRESS of a Binding Success Response that answers
// `expected_id`, of the family the request went over (`ipv6`): an address of the other family is
// stepped over. False, with `mapped` untouched, for anything else, including a Message Length
// that claims more bytes than arrived.
bool parse_binding_response(const std::uint8_t* data, std::int32_t size,
                            const std::uint8_t expected_id[kTransactionIdSize], bool ipv6,
                            platform::Endpoint* mapped);
