// What each platform twin provides to clock.cpp: the system's own tick and sleep.
#pragma once

#include <cstdint>

namespace platform {

std::uint32_t system_tick_ms();
void system_sleep_ms(std::uint32_t ms);

}  // namespace platform
