// Punches at random ports of the peer's address. A peer behind a symmetric NAT reaches us through
// a mapping whose port we cannot know; it opens many (one for each of its candidate sockets), and
// a punch of ours that happens on one of them opens our NAT for the peer's answers through it.
//
// The sweep begins when nothing has come from the peer for kSweepAfterMs after the first punch,
// sends at most kSweepPerSecond punches a second and kSweepTotal in all, each to another port
// from 1024 up, and only to the address the user typed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

inline constexpr std::uint32_t kSweepAfterMs = 3000;
inline constexpr std::uint32_t kSweepPerSecond = 100;
inline constexpr std::uint32_t kSweepTotal = 4000;

struct Sweep {
    std::uint32_t ip;     // the peer's address as typed
    std::uint32_t begun;  // tick of the first punch
    std::uint32_t sent;
    std::uint32_t first;  // where the walk over the ports starts
};

// `random` is any 32 bits; they choose where the walk over the ports starts.
void sweep_begin(Sweep* sweep, std::uint32_t ip, std::uint32_t now, std::uint32_t random);

// The port of punch `n` (from 0): 64512 punches would meet every port from 1024 up once.
std::uint16_t sweep_port(const Sweep* sweep, std::uint32_t n);

// Writes the punches due by `now` (at most `capacity`) to `out` and returns how many.
std::size_t sweep_due(Sweep* sweep, std::uint32_t now, platform::Endpoint* out,
                      std::size_t capacity);
