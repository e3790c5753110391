// Overwrites secrets (keys, passwords) so that they do not outlive their use.
#pragma once

#include <cstddef>

// Through a volatile pointer, so that the compiler cannot drop stores to memory about to die.
inline void wipe(void* data, std::size_t size) {
    auto* p = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}
