#include "stun/binding.h"

#include <cstring>

#include "shared/address_text.h"
#include "platform/platform.h"

namespace {

// Big-endian reads; callers have checked that the bytes are there.
std::uint16_t read16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint32_t read32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

void write16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

void write32(std::uint8_t* p, std::uint32_t v) {
    write16(p, static_cast<std::uint16_t>(v >> 16));
    write16(p + 2, static_cast<std::uint16_t>(v));
}

}  // namespace

bool build_binding_request(std::uint8_t request[kStunHeaderSize], std::int32_t* length,
                           std::uint8_t id[kTransactionIdSize]) {
    // Unpredictable, so that nobody off the path can answer for the server.
    if (!platform::random_bytes(id, kTransactionIdSize)) return false;
    write16(request, kBindingRequest);
    write16(request + 2, 0);
    write32(request + 4, kMagicCookie);
    std::memcpy(request + 8, id, kTransactionIdSize);
    *length = static_cast<std::int32_t>(kStunHeaderSize);
    return true;
}

bool parse_binding_response(const std::uint8_t* data, std::int32_t size,
                            const std::uint8_t expected_id[kTransactionIdSize], char* ip_text,
                            std::uint16_t* port) {
    if (size < static_cast<std::int32_t>(kStunHeaderSize)) return false;
    if (read16(data) != kBindingSuccessResponse) return false;
    if (read32(data + 4) != kMagicCookie) return false;
    if (std::memcmp(data + 8, expected_id, kTransactionIdSize) != 0) return false;

    const std::size_t length = read16(data + 2);
    if (length > static_cast<std::size_t>(size) - kStunHeaderSize) return false;
    const std::uint8_t* attrs = data + kStunHeaderSize;

    std::size_t p = 0;
    while (p + 4 <= length) {
        const std::uint16_t type = read16(attrs + p);
        const std::size_t value_length = read16(attrs + p + 2);
        if (p + 4 + value_length > length) return false;
        const std::uint8_t* value = attrs + p + 4;
        const bool is_address = type == kAttrXorMappedAddress || type == kAttrMappedAddress;
        if (is_address && value_length >= 8 && value[1] == kFamilyIpv4) {
            std::uint16_t mapped_port = read16(value + 2);
            std::uint32_t mapped_ip = read32(value + 4);
            if (type == kAttrXorMappedAddress) {
                mapped_port ^= static_cast<std::uint16_t>(kMagicCookie >> 16);
                mapped_ip ^= kMagicCookie;
            }
            *port = mapped_port;
            format_ipv4(mapped_ip, ip_text);
            return true;
        }
        p += 4 + ((value_length + 3) & ~std::size_t{3});
    }
    return false;
}
