#include "peer/protocol.h"

#include <algorithm>
#include <cstring>

namespace {

template <std::size_t N>
bool starts_with(const std::uint8_t* data, std::size_t size, const char (&keyword)[N]) {
    return size >= N - 1 && std::memcmp(data, keyword, N - 1) == 0;
}

bool is_continuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at `p` (1 to 4), or 0 when the bytes there do not
// start one. Overlong forms, surrogates and values past U+10FFFF are not well-formed.
std::size_t utf8_sequence_length(const std::uint8_t* p, std::size_t left) {
    const std::uint8_t b = p[0];
    if (b < 0x80) return 1;
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        if (b == 0xE0) low = 0xA0;
        if (b == 0xED) high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        if (b == 0xF0) low = 0x90;
        if (b == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || p[1] < low || p[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (!is_continuation(p[i])) return 0;
    }
    return length;
}

}  // namespace

DatagramKind classify_datagram(const std::uint8_t* data, std::size_t size) {
    if (size == sizeof kBye - 1 && starts_with(data, size, kBye)) return DatagramKind::bye;
    if (starts_with(data, size, kKeepalive)) return DatagramKind::keepalive;
    if (starts_with(data, size, kPunchAck)) return DatagramKind::punch_ack;
    if (starts_with(data, size, kPunch)) return DatagramKind::punch;
    return DatagramKind::chat;
}

std::size_t sanitize_for_display(const std::uint8_t* data, std::size_t size, char* out) {
    std::size_t o = 0;
    std::size_t i = 0;
    while (i < size && data[i] != 0) {
        const std::size_t n = utf8_sequence_length(data + i, size - i);
        const bool c0_or_del = n == 1 && ((data[i] < 0x20 && data[i] != '\t') || data[i] == 0x7F);
        const bool c1 = n == 2 && data[i] == 0xC2 && data[i + 1] <= 0x9F;
        if (n == 0 || c0_or_del || c1) {
            out[o++] = '?';
            i += n == 0 ? 1 : n;
            continue;
        }
        std::memcpy(out + o, data + i, n);
        o += n;
        i += n;
    }
    out[o] = '\0';
    return o;
}

std::size_t utf8_cut(const char* text, std::size_t size) {
    // Only a sequence that starts in the last three bytes can be incomplete.
    const std::size_t look = std::min<std::size_t>(size, 3);
    for (std::size_t back = 1; back <= look; ++back) {
        const auto b = static_cast<std::uint8_t>(text[size - back]);
        if (is_continuation(b)) continue;
        const std::size_t needed = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        return needed > back ? size - back : size;
    }
    return size;
}
