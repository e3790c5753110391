// Lossless, ordered delivery of chat lines. Each line carries a sequence number; the receiver
// answers each with an acknowledgement: the number up to which every line has arrived, and a map
// of which of the 64 lines after the next one have. The sender keeps at most 64 lines in flight,
// counted from the oldest unconfirmed one, and never gives a line up.
//
// Loss is read from the acknowledgements, at the speed of the path: a sending counts as lost once
// a sending three later has arrived, or once 9/8 of the round trip has passed since it went out
// and a later one has arrived; every such line goes again at once. When nothing is acknowledged
// for a probe time-out (smoothed round trip + 4 x its variation), the oldest unconfirmed lines go
// again; that time-out doubles while nothing at all is acknowledged, up to a longest interval
// kept for as long as lines wait. Time comes in as `now`, in ticks of milliseconds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

inline constexpr std::uint32_t kWindow = 64;

struct Outgoing {
    std::uint32_t seq;
    std::string text;
    std::uint32_t sent_at;  // its latest sending
    std::uint64_t sending;  // the number of that sending, counted over all lines
    int sends;              // 0: not sent yet
    bool acked;
};

struct Delivery {
    std::deque<Outgoing> out;  // oldest first; leaves from the front once acknowledged
    std::uint32_t next_seq = 1;
    std::uint64_t sendings = 0;       // sendings so far, of every line
    std::uint64_t arrived = 0;        // the number of the latest sending known to have arrived
    std::uint32_t last_sent_at = 0;   // the probe time-out runs from here
    std::uint32_t srtt = 100;         // smoothed round trip, a guess before the first sample
    std::uint32_t rttvar = 50;
    std::uint32_t latest_rtt = 0;
    bool measured = false;            // srtt comes from a sample
    int probes = 0;                   // probe time-outs since the latest acknowledgement
    std::uint32_t waiting_since = 0;  // the latest progress, or the start of the wait
    bool stall_told = false;
    std::uint32_t delivered = 0;                 // every line up to this one has been shown
    std::map<std::uint32_t, std::string> early;  // lines that came before their turn
};

using SendLine = std::function<void(std::uint32_t seq, const std::string& text)>;

void delivery_queue(Delivery* d, std::string text);

// A round trip of the path known before any line's (the agreement's): the guess until the first
// line's own sample, which replaces it whole.
void delivery_seed_rtt(Delivery* d, std::uint32_t rtt);

// Sends what is due: new lines while the window allows, lines found lost, probes.
void delivery_pump(Delivery* d, std::uint32_t now, const SendLine& send);

// An acknowledgement came: up to `cumulative`, and the lines after it that `map` marks.
void delivery_acked(Delivery* d, std::uint32_t now, std::uint32_t cumulative, std::uint64_t map,
                    const SendLine& send);

// Milliseconds until delivery_pump or delivery_stalled has something to do; 0xFFFFFFFF when
// nothing waits.
std::uint32_t delivery_due_in(const Delivery* d, std::uint32_t now);

// Lines waiting 30 s without any progress: true once for each such wait, with how many are
// unconfirmed and the first of them. They are still sent.
bool delivery_stalled(Delivery* d, std::uint32_t now, std::size_t* count, std::string* first);

// How many lines the peer has not confirmed, and the first of them.
std::size_t delivery_unconfirmed(const Delivery* d, std::string* first);

// A line came; the lines now ready to show, in order, are added to `ready`.
void delivery_take(Delivery* d, std::uint32_t seq, std::string text,
                   std::vector<std::string>* ready);

// What to acknowledge now.
void delivery_ack(const Delivery* d, std::uint32_t* cumulative, std::uint64_t* map);
