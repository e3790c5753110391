// The SSDP search that finds the router's UPnP description: one M-SEARCH sent to the default
// gateway itself (unicast, which UPnP 1.1 devices answer at once, where a multicast search waits
// for a random delay of up to a second), and the LOCATION of its answer.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::uint16_t kSsdpPort = 1900;
inline constexpr std::size_t kLocationSize = 256;

// The search for an Internet Gateway Device, as sent to `gateway` (IPv4, host byte order); its
// length.
std::size_t ssdp_search(char* out, std::size_t size, std::uint32_t gateway);

// The LOCATION of an SSDP answer ("HTTP/1.1 200", headers in any case), when it is an http URL
// on `gateway` itself: a description elsewhere would have natchat fetch from whoever answered.
// False, with `location` untouched, for anything else, a location of kLocationSize or more
// included.
bool ssdp_location(const char* data, std::size_t size, std::uint32_t gateway, char location[kLocationSize]);
