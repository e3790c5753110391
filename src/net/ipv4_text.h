// IPv4 addresses as dotted-quad text ("%d.%d.%d.%d"), in host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

// Room for "255.255.255.255" and its terminator.
inline constexpr std::size_t kIpv4TextSize = 16;

void format_ipv4(std::uint32_t ip, char out[kIpv4TextSize]);

// Accepts exactly four decimal parts of 0 to 255 separated by dots, with no leading zeros, signs,
// blanks or anything else; false leaves `ip` alone.
bool parse_ipv4(const char* text, std::uint32_t* ip);
