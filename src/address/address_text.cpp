#include "address/address_text.h"

#include <cstdio>
#include <cstring>

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

bool split_host_port(const char* text, std::size_t size, HostPort* out) {
    const char* const end = text + size;
    HostPort h{text, size, nullptr, 0, size > 0 && text[0] == '['};
    const char* colon = nullptr;
    if (h.bracketed) {
        const auto* close = static_cast<const char*>(std::memchr(text, ']', size));
        if (close == nullptr || (close + 1 != end && close[1] != ':')) return false;
        h.host = text + 1;
        h.host_size = static_cast<std::size_t>(close - h.host);
        colon = close + 1 != end ? close + 1 : nullptr;
    } else if (const auto* first = static_cast<const char*>(std::memchr(text, ':', size))) {
        // One colon parts host and port; more belong to IPv6 text.
        const bool one = std::memchr(first + 1, ':', static_cast<std::size_t>(end - first - 1)) == nullptr;
        colon = one ? first : nullptr;
        h.host_size = one ? static_cast<std::size_t>(first - text) : size;
    }
    if (colon != nullptr) {
        h.port = colon + 1;
        h.port_size = static_cast<std::size_t>(end - h.port);
    }
    *out = h;
    return true;
}

void format_address(const platform::Endpoint& a, char out[kAddressTextSize]) {
    if (a.v6) {
        platform::format_ipv6(a.ip6, out);
    } else {
        format_ipv4(a.ip, out);
    }
}

void format_endpoint(const platform::Endpoint& e, char out[kEndpointTextSize]) {
    char address[kAddressTextSize];
    format_address(e, address);
    std::snprintf(out, kEndpointTextSize, e.v6 ? "[%s]:%u" : "%s:%u", address,
                  static_cast<unsigned>(e.port));
}

bool parse_address(const char* text, platform::Endpoint* out) {
    platform::Endpoint e{0, 0};
    if (parse_ipv4(text, &e.ip)) {
        *out = e;
        return true;
    }
    // The system's reader takes a dotted quad inside IPv6 text too ("::1.2.3.4"); nothing else
    // of IPv4 is IPv6.
    if (std::strchr(text, ':') == nullptr || !platform::parse_ipv6(text, e.ip6)) return false;
    e.v6 = true;
    *out = e;
    return true;
}

bool is_unicast(const platform::Endpoint& a) {
    if (!a.v6) return is_unicast_ipv4(a.ip);
    static constexpr std::uint8_t kUnspecified[16] = {};
    const bool link_local = a.ip6[0] == 0xFE && (a.ip6[1] & 0xC0) == 0x80;
    return std::memcmp(a.ip6, kUnspecified, 16) != 0 && a.ip6[0] != 0xFF && !link_local &&
           std::memcmp(a.ip6, platform::kIpv4Mapped, sizeof platform::kIpv4Mapped) != 0;
}

namespace {

constexpr char kTagWord[] = "tag=";
constexpr char kHexDigits[] = "0123456789abcdef";

int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "tag=" and exactly 2 * kLineTagSize hex digits as the `size` bytes at `text`.
bool parse_tag(const char* text, std::size_t size, std::uint8_t tag[kLineTagSize]) {
    const std::size_t prefix = sizeof kTagWord - 1;
    if (size != prefix + 2 * kLineTagSize || std::strncmp(text, kTagWord, prefix) != 0) return false;
    for (std::size_t i = 0; i < kLineTagSize; ++i) {
        const int high = hex_value(text[prefix + 2 * i]), low = hex_value(text[prefix + 2 * i + 1]);
        if (high < 0 || low < 0) return false;
        tag[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

}  // namespace

void format_peer_line(const PeerLine& line, char out[kPeerLineSize]) {
    std::size_t used = 0;
    out[0] = '\0';
    for (std::size_t i = 0; i < line.count && i < kMaxCandidates && used < kPeerLineSize; ++i) {
        char endpoint[kEndpointTextSize];
        format_endpoint(line.candidates[i], endpoint);
        used += static_cast<std::size_t>(std::snprintf(out + used, kPeerLineSize - used, "%s%s",
                                                       i > 0 ? " " : "", endpoint));
    }
    if (!line.tagged || used + 5 + 2 * kLineTagSize >= kPeerLineSize) return;
    used += static_cast<std::size_t>(std::snprintf(out + used, kPeerLineSize - used, " %s", kTagWord));
    for (const std::uint8_t b : line.tag) {
        out[used++] = kHexDigits[b >> 4];
        out[used++] = kHexDigits[b & 15];
    }
    out[used] = '\0';
    if (line.relayed.port == 0) return;
    char endpoint[kEndpointTextSize];
    format_endpoint(line.relayed, endpoint);
    std::snprintf(out + used, kPeerLineSize - used, " %s", endpoint);
}

namespace {

constexpr char kPeerLinePrefix[] = "Your peer line:";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// "a.b.c.d:port" or "[IPv6]:port" as the `size` bytes at `text`.
bool parse_endpoint(const char* text, std::size_t size, platform::Endpoint* out) {
    HostPort h{};
    if (!split_host_port(text, size, &h) || h.port_size == 0 || h.port_size > 5) return false;
    std::uint32_t port = 0;
    for (std::size_t i = 0; i < h.port_size; ++i) {
        if (!is_digit(h.port[i])) return false;
        port = port * 10 + static_cast<std::uint32_t>(h.port[i] - '0');
    }
    char address[kAddressTextSize];
    if (port == 0 || port > 65535 || h.host_size == 0 || h.host_size >= sizeof address) return false;
    std::memcpy(address, h.host, h.host_size);
    address[h.host_size] = '\0';
    platform::Endpoint e{0, 0};
    // Brackets around IPv6, and only around IPv6.
    if (!parse_address(address, &e) || e.v6 != h.bracketed || !is_unicast(e)) return false;
    e.port = static_cast<std::uint16_t>(port);
    *out = e;
    return true;
}

}  // namespace

bool parse_peer_line(const char* text, PeerLine* out) {
    PeerLine line{};
    bool relay_follows = false;  // a tag came after an endpoint: an IPv4 one after it is relayed
    const char* p = text;
    while (is_blank(*p)) ++p;
    if (std::strncmp(p, kPeerLinePrefix, sizeof kPeerLinePrefix - 1) == 0) {
        p += sizeof kPeerLinePrefix - 1;
    }
    for (;;) {
        while (is_blank(*p)) ++p;
        if (*p == '\0') break;
        const char* end = p;
        while (*end != '\0' && !is_blank(*end)) ++end;
        const auto size = static_cast<std::size_t>(end - p);
        if (std::strncmp(p, kTagWord, sizeof kTagWord - 1) == 0) {
            if (line.tagged || !parse_tag(p, size, line.tag)) return false;
            line.tagged = true;
            relay_follows = line.count > 0;
            p = end;
            continue;
        }
        platform::Endpoint e{0, 0};
        if (!parse_endpoint(p, size, &e)) return false;
        bool known = platform::same_endpoint(e, line.relayed);
        for (std::size_t i = 0; i < line.count; ++i) {
            known = known || platform::same_endpoint(line.candidates[i], e);
        }
        if (!known && relay_follows && !e.v6 && line.relayed.port == 0) {
            line.relayed = e;
            known = true;
        }
        if (!known && line.count == kMaxCandidates) return false;
        if (!known) line.candidates[line.count++] = e;
        p = end;
    }
    if (line.count == 0) return false;
    *out = line;
    return true;
}

bool looks_like_peer_line(const char* text) {
    platform::Endpoint e{0, 0};
    if (parse_address(text, &e)) return false;
    int words = 0;
    for (const char* p = text; *p != '\0'; ++p) words += !is_blank(*p) && (p == text || is_blank(p[-1]));
    return words > 1 || std::strpbrk(text, ":[]") != nullptr;
}
