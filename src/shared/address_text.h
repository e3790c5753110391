// Addresses and ports as people type and read them: IPv4 dotted-quad text ("%d.%d.%d.%d") in
// host byte order, and port numbers.
#pragma once

#include <cstddef>
#include <cstdint>

// Room for "255.255.255.255" and its terminator.
inline constexpr std::size_t kIpv4TextSize = 16;

// Room for an address as typed: 255 characters and the terminator.
inline constexpr std::size_t kPeerIpSize = 256;

void format_ipv4(std::uint32_t ip, char out[kIpv4TextSize]);

// Accepts exactly four decimal parts of 0 to 255 separated by dots, with no leading zeros, signs,
// blanks or anything else; false leaves `ip` alone.
bool parse_ipv4(const char* text, std::uint32_t* ip);

// Whether `ip` can be a peer: a unicast address, not one of 0.0.0.0/8, multicast (224.0.0.0/4)
// or the broadcast address.
bool is_unicast_ipv4(std::uint32_t ip);

// A port as typed: leading blanks, then digits up to the first other character. 0 (no port) for
// a word without leading digits, with a sign, or with a number above 65535; any number of
// digits is safe.
std::uint16_t parse_port_text(const char* text);
