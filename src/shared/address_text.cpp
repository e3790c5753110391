#include "shared/address_text.h"

#include <cstdio>

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void format_ipv4(std::uint32_t ip, char out[kIpv4TextSize]) {
    std::snprintf(out, kIpv4TextSize, "%u.%u.%u.%u", (ip >> 24) & 255u, (ip >> 16) & 255u,
                  (ip >> 8) & 255u, ip & 255u);
}

bool parse_ipv4(const char* text, std::uint32_t* ip) {
    std::uint32_t value = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.') return false;
        if (!is_digit(*p)) return false;
        if (*p == '0' && is_digit(p[1])) return false;  // "010" could mean octal
        std::uint32_t octet = 0;
        int digits = 0;
        for (; is_digit(*p); ++p) {
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

bool is_unicast_ipv4(std::uint32_t ip) {
    return ip >> 24 != 0 && ip >> 28 != 0xE && ip != 0xFFFFFFFF;
}

std::uint16_t parse_port_text(const char* text) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    std::uint32_t value = 0;
    for (; is_digit(*p); ++p) {
        value = value * 10u + static_cast<std::uint32_t>(*p - '0');
        if (value > 65535) return 0;  // before it can overflow
    }
    return static_cast<std::uint16_t>(value);
}
