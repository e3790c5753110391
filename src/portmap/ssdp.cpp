#include "portmap/ssdp.h"

#include <cstdio>
#include <cstring>

#include "address/address_text.h"

namespace {

constexpr char kHeader[] = "\r\nlocation:";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Where the header begins in the `size` bytes at `data`, or null.
const char* find_header(const char* data, std::size_t size) {
    const std::size_t n = sizeof kHeader - 1;
    for (std::size_t i = 0; i + n <= size; ++i) {
        std::size_t k = 0;
        while (k < n && lower(data[i + k]) == kHeader[k]) ++k;
        if (k == n) return data + i + n;
    }
    return nullptr;
}

}  // namespace

std::size_t ssdp_search(char* out, std::size_t size, std::uint32_t gateway) {
    char host[kIpv4TextSize];
    format_ipv4(gateway, host);
    const int n = std::snprintf(out, size,
                                "M-SEARCH * HTTP/1.1\r\nHOST: %s:%u\r\nMAN: \"ssdp:discover\"\r\n"
                                "ST: urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n\r\n",
                                host, static_cast<unsigned>(kSsdpPort));
    return n > 0 && static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : 0;
}

bool ssdp_location(const char* data, std::size_t size, std::uint32_t gateway, char location[kLocationSize]) {
    static constexpr char kOk[] = "HTTP/1.1 200";
    if (size < sizeof kOk - 1 || std::memcmp(data, kOk, sizeof kOk - 1) != 0) return false;
    const char* p = find_header(data, size);
    if (p == nullptr) return false;
    const char* const end = data + size;
    while (p < end && (*p == ' ' || *p == '\t')) ++p;
    const char* stop = p;
    while (stop < end && *stop != '\r' && *stop != '\n') ++stop;
    while (stop > p && (stop[-1] == ' ' || stop[-1] == '\t')) --stop;
    const auto length = static_cast<std::size_t>(stop - p);
    char host[kIpv4TextSize + 8];
    char ip[kIpv4TextSize];
    format_ipv4(gateway, ip);
    const int prefix = std::snprintf(host, sizeof host, "http://%s", ip);
    const auto n = static_cast<std::size_t>(prefix);
    // The gateway's address, then a port or a path: not a longer address that begins alike.
    if (length >= kLocationSize || length <= n || std::memcmp(p, host, n) != 0 || (p[n] != ':' && p[n] != '/')) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (static_cast<unsigned char>(p[i]) <= ' ' || p[i] == 0x7F) return false;
    }
    std::memcpy(location, p, length);
    location[length] = '\0';
    return true;
}
