// Numbers as every protocol natchat speaks puts them on the wire: most significant byte first.
#pragma once

#include <cstdint>

inline std::uint16_t read16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

inline std::uint32_t read32(const std::uint8_t* p) {
    return std::uint32_t{read16(p)} << 16 | read16(p + 2);
}

inline std::uint64_t read64(const std::uint8_t* p) {
    return std::uint64_t{read32(p)} << 32 | read32(p + 4);
}

inline void write16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 8);
    p[1] = static_cast<std::uint8_t>(v);
}

inline void write32(std::uint8_t* p, std::uint32_t v) {
    write16(p, static_cast<std::uint16_t>(v >> 16));
    write16(p + 2, static_cast<std::uint16_t>(v));
}

inline void write64(std::uint8_t* p, std::uint64_t v) {
    write32(p, static_cast<std::uint32_t>(v >> 32));
    write32(p + 4, static_cast<std::uint32_t>(v));
}
