// Overwrites secrets (keys, passwords) so that they do not outlive their use.
#pragma once

#include <cstddef>
#include <cstring>

// Through a volatile pointer, so that the compiler cannot drop stores to memory about to die.
inline void wipe(void* data, std::size_t size) {
    auto* p = static_cast<volatile unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

// Appends the `size` bytes at `text` to the `*used` bytes at `out` (room for `capacity`, the
// terminator included) and terminates them, leaving no copy on the way as formatted printing may in
// buffers of its own. False, with nothing appended, when it does not fit.
inline bool append_secret(char* out, std::size_t capacity, std::size_t* used, const char* text,
                          std::size_t size) {
    if (size >= capacity - *used) return false;
    std::memcpy(out + *used, text, size);
    *used += size;
    out[*used] = '\0';
    return true;
}

// The `size` bytes at `text`, terminated, as all of `out`; as append_secret.
inline bool copy_secret(char* out, std::size_t capacity, const char* text, std::size_t size) {
    std::size_t used = 0;
    return append_secret(out, capacity, &used, text, size);
}
