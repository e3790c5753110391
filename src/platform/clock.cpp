#include <algorithm>
#include <atomic>

#include "platform/platform.h"
#include "platform/system_clock.h"

namespace platform {
namespace {

std::atomic<const Clock*> installed_clock{nullptr};

}  // namespace

void set_clock(const Clock* clock) { installed_clock.store(clock); }

std::uint32_t tick_ms() {
    const Clock* clock = installed_clock.load(std::memory_order_relaxed);
    return clock != nullptr ? clock->now(clock->context) : system_tick_ms();
}

void sleep_ms(std::uint32_t ms) {
    const Clock* clock = installed_clock.load(std::memory_order_relaxed);
    if (clock != nullptr) {
        clock->sleep(clock->context, ms);
    } else {
        system_sleep_ms(ms);
    }
}

bool wait_readable(Socket s, std::uint32_t timeout_ms) {
    const Clock* clock = installed_clock.load(std::memory_order_relaxed);
    if (clock == nullptr) return system_wait_readable(s, timeout_ms);
    // Simulated time: a datagram already on its way over loopback is given a real moment, and the
    // rest of the wait passes on the clock.
    constexpr std::uint32_t kOnItsWayMs = 200;
    if (system_wait_readable(s, std::min(timeout_ms, kOnItsWayMs))) return true;
    clock->sleep(clock->context, timeout_ms);
    return system_wait_readable(s, 0);
}

bool wait_stop(Waker* waker, std::uint32_t timeout_ms) {
    if (installed_clock.load(std::memory_order_relaxed) == nullptr) {
        return system_wait_stop(waker, timeout_ms) == Woken::stop;
    }
    // Simulated time moves in steps a test makes; look at it every real millisecond.
    const std::uint32_t start = tick_ms();
    while (tick_ms() - start < timeout_ms) {
        const Woken woken = system_wait_stop(waker, 1);
        if (woken != Woken::time) return woken == Woken::stop;
    }
    return false;
}

}  // namespace platform
