#include "path/sweep.h"

#include <algorithm>

namespace {

constexpr std::uint32_t kFirstPort = 1024;
constexpr std::uint32_t kPorts = 65536 - kFirstPort;
// 64512 = 2^10 * 3^2 * 7, and 25013 is odd and divisible by neither 3 nor 7: steps of it visit
// every port once, far apart. The NAT picks its ports at random, so any order serves as well as
// another; a random start keeps two sweeps from beginning alike.
constexpr std::uint32_t kStride = 25013;

}  // namespace

void sweep_begin(Sweep* sweep, std::uint32_t ip, std::uint32_t now, std::uint32_t random) {
    *sweep = Sweep{ip, now, 0, random % kPorts};
}

std::uint16_t sweep_port(const Sweep* sweep, std::uint32_t n) {
    return static_cast<std::uint16_t>(kFirstPort + (sweep->first + std::uint64_t{n} * kStride) % kPorts);
}

std::size_t sweep_due(Sweep* sweep, std::uint32_t now, platform::Endpoint* out,
                      std::size_t capacity) {
    // Ticks wrap at 2^32; an unsigned difference stays right across the wrap.
    const std::uint32_t since = now - sweep->begun;
    if (since < kSweepAfterMs) return 0;
    const std::uint64_t allowed = std::min<std::uint64_t>(
        kSweepTotal, std::uint64_t{since - kSweepAfterMs} * kSweepPerSecond / 1000);
    std::size_t n = 0;
    for (; sweep->sent < allowed && n < capacity; ++n, ++sweep->sent) {
        out[n] = platform::Endpoint{sweep->ip, sweep_port(sweep, sweep->sent)};
    }
    return n;
}
