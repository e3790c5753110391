// Addresses and ports as people type and read them: IPv4 dotted-quad text ("%d.%d.%d.%d") in
// host byte order, and port numbers read as atoi would.
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

// A port as typed, read as atoi would (leading blanks, a sign, digits up to the first other
// character, 0 without digits) and kept modulo 65536; any number of digits is safe.
std::uint16_t parse_port_text(const char* text);
