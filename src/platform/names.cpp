// Name lookup and address text, the same on both platforms once the socket headers are in.
#include <algorithm>
#include <cstring>

#include "platform/socket_headers.h"

namespace platform {

bool resolve_addresses(const char* name, Endpoint* addresses, std::size_t capacity,
                       std::size_t* count) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &list) != 0) return false;
    std::size_t n = 0;
    for (addrinfo* ai = list; ai != nullptr && n < capacity; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
        SocketAddress a{};
        std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
        if (a.storage.ss_family != AF_INET && a.storage.ss_family != AF_INET6) continue;
        const Endpoint e = from_sockaddr(a);
        const auto same = [&](const Endpoint& known) { return same_address(known, e); };
        if (std::none_of(addresses, addresses + n, same)) addresses[n++] = e;
    }
    ::freeaddrinfo(list);
    if (n == 0) return false;
    *count = n;
    return true;
}

bool parse_ipv6(const char* text, std::uint8_t out[16]) {
    in6_addr a{};
    if (::inet_pton(AF_INET6, text, &a) != 1) return false;
    std::memcpy(out, &a, 16);
    return true;
}

void format_ipv6(const std::uint8_t address[16], char out[kIpv6TextSize]) {
    in6_addr a{};
    std::memcpy(&a, address, 16);
    if (::inet_ntop(AF_INET6, &a, out, kIpv6TextSize) == nullptr) out[0] = '\0';
}

}  // namespace platform
