// Feeds arbitrary datagrams to the decoders of a router's answers: PCP MAP, NAT-PMP's mapping and
// external address, and SSDP's LOCATION. The exact size is copied, so that overreads are caught.
#include <cstdint>
#include <vector>

#include "portmap/pcp.h"
#include "portmap/ssdp.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::uint8_t kNonce[kPcpNonceSize] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    const std::vector<std::uint8_t> d(data, data + size);
    MapAnswer a{};
    if (pcp_map_answer(d.data(), d.size(), kNonce, 40000, &a) && a.result == 0 && a.external.port == 0) __builtin_trap();
    natpmp_map_answer(d.data(), d.size(), 40000, &a);
    natpmp_address_answer(d.data(), d.size(), &a);
    char location[kLocationSize];
    ssdp_location(reinterpret_cast<const char*>(d.data()), d.size(), 0xC0000201, location);
    return 0;
}
