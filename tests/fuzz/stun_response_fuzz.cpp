// Feeds arbitrary datagrams to the STUN response decoder. The first 12 bytes are the expected
// transaction id, so most inputs also get past the id check.
#include <cstdint>
#include <cstring>
#include <vector>

#include "stun/binding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kTransactionIdSize) return 0;
    std::uint8_t id[kTransactionIdSize];
    std::memcpy(id, data, kTransactionIdSize);
    // An exact-size copy, so a read past the datagram is caught.
    std::vector<std::uint8_t> datagram(data + kTransactionIdSize, data + size);
    if (datagram.size() >= kStunHeaderSize) std::memcpy(datagram.data() + 8, id, sizeof id);
    for (const bool ipv6 : {false, true}) {
        platform::Endpoint mapped{0, 0};
        const bool read = parse_binding_response(datagram.data(), static_cast<std::int32_t>(datagram.size()), id, ipv6, &mapped);
        if (read && (mapped.v6 != ipv6 || (mapped.v6 && mapped.ip != 0))) __builtin_trap();  // the family asked
    }
    return 0;
}
