// What each platform twin provides to clock.cpp: the system's own tick, sleep and timed wait.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace platform {

std::uint32_t system_tick_ms();
void system_sleep_ms(std::uint32_t ms);
enum class Woken { stop, nudge, time };
// Waits at most `ms` of real time for the waker's stop signal or a nudge.
Woken system_wait_stop(Waker* waker, std::uint32_t ms);
// Waits at most `ms` of real time for a datagram on `s`.
bool system_wait_readable(Socket s, std::uint32_t ms);

}  // namespace platform
