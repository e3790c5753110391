// Name lookup, the same on both platforms once the socket headers are in.
#include <cstring>

#include "platform/socket_headers.h"

namespace platform {

bool resolve_ipv4(const char* name, std::uint32_t* addresses, std::size_t capacity,
                  std::size_t* count) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &list) != 0) return false;
    std::size_t n = 0;
    for (addrinfo* ai = list; ai != nullptr && n < capacity; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || ai->ai_addrlen < sizeof(sockaddr_in)) continue;
        sockaddr_in a;
        std::memcpy(&a, ai->ai_addr, sizeof a);
        const std::uint32_t ip = from_sockaddr(a).ip;
        bool seen = false;
        for (std::size_t i = 0; i < n; ++i) seen = seen || addresses[i] == ip;
        if (!seen) addresses[n++] = ip;
    }
    ::freeaddrinfo(list);
    if (n == 0) return false;
    *count = n;
    return true;
}

}  // namespace platform
