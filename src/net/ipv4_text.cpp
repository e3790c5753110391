#include "net/ipv4_text.h"

#include <cstdio>

void format_ipv4(std::uint32_t ip, char out[kIpv4TextSize]) {
    std::snprintf(out, kIpv4TextSize, "%u.%u.%u.%u", (ip >> 24) & 255u, (ip >> 16) & 255u,
                  (ip >> 8) & 255u, ip & 255u);
}

bool parse_ipv4(const char* text, std::uint32_t* ip) {
    std::uint32_t value = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.') return false;
        if (*p < '0' || *p > '9') return false;
        if (*p == '0' && p[1] >= '0' && p[1] <= '9') return false;  // "010" could mean octal
        std::uint32_t octet = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9'; ++p) {
            if (++digits > 3) return false;
            octet = octet * 10 + static_cast<std::uint32_t>(*p - '0');
        }
        if (octet > 255) return false;
        value = value << 8 | octet;
    }
    if (*p != '\0') return false;
    *ip = value;
    return true;
}
