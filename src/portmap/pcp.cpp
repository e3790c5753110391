#include "portmap/pcp.h"

#include <cstring>

#include "bytes/byte_order.h"

namespace {

constexpr std::uint8_t kPcpVersion = 2;
constexpr std::uint8_t kOpMap = 1;
constexpr std::uint8_t kResponseBit = 0x80;
constexpr std::uint8_t kUdp = 17;
constexpr std::uint8_t kNatPmpVersion = 0;
constexpr std::uint8_t kNatPmpAddress = 0;
constexpr std::uint8_t kNatPmpMapUdp = 1;

// An IPv4 address as PCP carries every address: IPv4-mapped IPv6.
void write_mapped(std::uint8_t* p, std::uint32_t ip) {
    std::memset(p, 0, 16);
    std::memcpy(p, platform::kIpv4Mapped, sizeof platform::kIpv4Mapped);
    write32(p + 12, ip);
}

}  // namespace

void pcp_map_request(std::uint8_t out[kPcpMapSize], std::uint32_t client_ip, std::uint16_t internal_port,
                     std::uint16_t suggested_port, std::uint32_t lifetime, const std::uint8_t nonce[kPcpNonceSize]) {
    std::memset(out, 0, kPcpMapSize);
    out[0] = kPcpVersion;
    out[1] = kOpMap;
    write32(out + 4, lifetime);
    write_mapped(out + 8, client_ip);
    std::memcpy(out + 24, nonce, kPcpNonceSize);
    out[36] = kUdp;
    write16(out + 40, internal_port);
    write16(out + 42, suggested_port);
    write_mapped(out + 44, 0);  // any external address
}

bool pcp_map_answer(const std::uint8_t* data, std::size_t size, const std::uint8_t nonce[kPcpNonceSize],
                    std::uint16_t internal_port, MapAnswer* out) {
    if (size < kPcpMapSize || size > kPcpMaxSize || size % 4 != 0) return false;
    if (data[0] != kPcpVersion || data[1] != (kResponseBit | kOpMap)) return false;
    if (std::memcmp(data + 24, nonce, kPcpNonceSize) != 0 || data[36] != kUdp) return false;
    if (read16(data + 40) != internal_port) return false;
    MapAnswer a{data[3], read32(data + 4), {0, 0}};
    if (a.result == 0) {
        if (std::memcmp(data + 44, platform::kIpv4Mapped, sizeof platform::kIpv4Mapped) != 0) return false;
        a.external = {read32(data + 56), read16(data + 42)};
        if (a.external.port == 0 || a.external.ip == 0 || a.lifetime == 0) return false;
    }
    *out = a;
    return true;
}

void natpmp_map_request(std::uint8_t out[kNatPmpMapSize], std::uint16_t internal_port,
                        std::uint16_t suggested_port, std::uint32_t lifetime) {
    out[0] = kNatPmpVersion;
    out[1] = kNatPmpMapUdp;
    write16(out + 2, 0);
    write16(out + 4, internal_port);
    write16(out + 6, suggested_port);
    write32(out + 8, lifetime);
}

void natpmp_address_request(std::uint8_t out[kNatPmpAddressSize]) {
    out[0] = kNatPmpVersion;
    out[1] = kNatPmpAddress;
}

bool natpmp_map_answer(const std::uint8_t* data, std::size_t size, std::uint16_t internal_port, MapAnswer* out) {
    if (size != 16 || data[0] != kNatPmpVersion || data[1] != (kResponseBit | kNatPmpMapUdp)) return false;
    if (read16(data + 8) != internal_port) return false;
    MapAnswer a{read16(data + 2), read32(data + 12), {0, read16(data + 10)}};
    // A grant of no time would be refreshed at once, and again, without end.
    if (a.result == 0 && (a.external.port == 0 || a.lifetime == 0)) return false;
    *out = a;
    return true;
}

bool natpmp_address_answer(const std::uint8_t* data, std::size_t size, MapAnswer* out) {
    if (size != 12 || data[0] != kNatPmpVersion || data[1] != (kResponseBit | kNatPmpAddress)) return false;
    MapAnswer a{read16(data + 2), 0, {read32(data + 8), 0}};
    if (a.result == 0 && a.external.ip == 0) return false;
    *out = a;
    return true;
}
