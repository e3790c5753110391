#include "peer/sweep.h"

#include <algorithm>

namespace {

constexpr std::uint32_t kFirstPort = 1024;
// 64512 = 2^10 * 3^2 * 7: a stride that is odd and divisible by neither 3 nor 7 visits them all.
constexpr std::uint32_t kPorts = 65536 - kFirstPort;

}  // namespace

void sweep_begin(Sweep* sweep, std::uint32_t ip, std::uint32_t now, std::uint32_t random) {
    std::uint32_t stride = ((random >> 16) % kPorts) | 1;
    while (stride % 3 == 0 || stride % 7 == 0) stride += 2;
    *sweep = Sweep{ip, now, 0, random % kPorts, stride};
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
        const std::uint64_t step = sweep->first + std::uint64_t{sweep->sent} * sweep->stride;
        out[n] = platform::Endpoint{sweep->ip, static_cast<std::uint16_t>(kFirstPort + step % kPorts)};
    }
    return n;
}
