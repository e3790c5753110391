// The router's own port mappings, by its two small UDP protocols on port 5351: the PCP MAP
// opcode (RFC 6887) and NAT-PMP's UDP mapping and external address (RFC 6886). Requests are
// written, answers read, nothing else: the exchange is portmap.cpp's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

inline constexpr std::uint16_t kPcpPort = 5351;
inline constexpr std::size_t kPcpNonceSize = 12;
inline constexpr std::size_t kPcpMapSize = 60;       // header 24, MAP opcode 36
inline constexpr std::size_t kPcpMaxSize = 1100;     // no PCP message is longer
inline constexpr std::size_t kNatPmpMapSize = 12;
inline constexpr std::size_t kNatPmpAddressSize = 2;

// What a router answered: `result` 0 is success, anything else its refusal (then nothing else
// holds). The external address is NAT-PMP's separate answer, so its mapping answer leaves it 0.
struct MapAnswer {
    std::uint16_t result;
    std::uint32_t lifetime;  // seconds
    platform::Endpoint external;
};

// A MAP request for UDP from `client_ip` (our IPv4 address toward the router) and
// `internal_port`; lifetime 0 deletes the mapping that `nonce` made.
void pcp_map_request(std::uint8_t out[kPcpMapSize], std::uint32_t client_ip, std::uint16_t internal_port,
                     std::uint16_t suggested_port, std::uint32_t lifetime, const std::uint8_t nonce[kPcpNonceSize]);

// True when the datagram is the answer to that request: version 2, a MAP response, our nonce,
// UDP, our internal port, a whole number of 32-bit words no longer than kPcpMaxSize; and, when
// it grants the mapping, an IPv4 external endpoint with a port and a lifetime. False leaves
// `out` alone.
bool pcp_map_answer(const std::uint8_t* data, std::size_t size, const std::uint8_t nonce[kPcpNonceSize],
                    std::uint16_t internal_port, MapAnswer* out);

void natpmp_map_request(std::uint8_t out[kNatPmpMapSize], std::uint16_t internal_port,
                        std::uint16_t suggested_port, std::uint32_t lifetime);
void natpmp_address_request(std::uint8_t out[kNatPmpAddressSize]);

// True for NAT-PMP's answer to our UDP mapping of `internal_port` (16 bytes, version 0, opcode
// 129; a grant has a port and a lifetime), which fills the port and lifetime.
bool natpmp_map_answer(const std::uint8_t* data, std::size_t size, std::uint16_t internal_port, MapAnswer* out);
// True for the answer with the router's external address (12 bytes, version 0, opcode 128),
// which fills `external`'s address.
bool natpmp_address_answer(const std::uint8_t* data, std::size_t size, MapAnswer* out);
