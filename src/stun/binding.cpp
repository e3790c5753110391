#include "stun/binding.h"

#include <cstring>

#include "platform/platform.h"

bool build_binding_request(std::uint8_t request[kStunHeaderSize], std::int32_t* length,
                           std::uint8_t id[kTransactionIdSize]) {
    // Unpredictable, so that nobody off the path can answer for the server.
    if (!platform::random_bytes(id, kTransactionIdSize)) return false;
    StunWriter w{request, kStunHeaderSize, 0, false};
    stun_begin(&w, kBindingRequest, id);
    *length = static_cast<std::int32_t>(w.size);
    return true;
}

bool parse_binding_response(const std::uint8_t* data, std::int32_t size,
                            const std::uint8_t expected_id[kTransactionIdSize], bool ipv6,
                            platform::Endpoint* mapped) {
    StunMessage m{};
    if (size < 0 || !stun_read_header(data, static_cast<std::size_t>(size), &m)) return false;
    if (m.type != kBindingSuccessResponse) return false;
    if (std::memcmp(data + 8, expected_id, kTransactionIdSize) != 0) return false;
    std::size_t at = 0;
    StunAttribute a{};
    while (stun_next(m, &at, &a) == StunWalk::attribute) {
        const bool xored = a.type == kAttrXorMappedAddress;
        platform::Endpoint e{0, 0};
        // An address of the other family is stepped over like any other attribute.
        if ((xored || a.type == kAttrMappedAddress) && stun_address(m, a, xored, &e) && e.v6 == ipv6) {
            *mapped = e;
            return true;
        }
    }
    return false;
}
