// Lossless, ordered delivery of chat lines. Each line carries a sequence number; the receiver
// answers each with an acknowledgement: the number up to which every line has arrived, and a map
// of which of the 64 lines after it have. The sender keeps at most 64 lines in flight, sends a
// line again when its time-out passes (from the measured round trip, doubled at every try) or
// when later lines are acknowledged and it is not, and gives up when nothing has been
// acknowledged for 30 s. Time comes in as `now`, in ticks of milliseconds.
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
    int sends;              // 0: not sent yet
    int timeouts;           // sendings after a time-out: each doubles the next one
    bool acked;
};

struct Delivery {
    std::deque<Outgoing> out;  // oldest first; leaves from the front once acknowledged
    std::uint32_t next_seq = 1;
    std::uint32_t heard_at = 0;  // the latest acknowledgement of something new, or the first send
    std::uint32_t srtt = 0;      // smoothed round trip; 0 before the first sample
    std::uint32_t rttvar = 0;
    std::uint32_t rto = 1000;
    std::uint32_t delivered = 0;                 // every line up to this one has been shown
    std::map<std::uint32_t, std::string> early;  // lines that came before their turn
};

using SendLine = std::function<void(std::uint32_t seq, const std::string& text)>;

void delivery_queue(Delivery* d, std::string text, std::uint32_t now);

// Sends what is due: new lines while the window allows, and lines whose time-out has passed.
void delivery_pump(Delivery* d, std::uint32_t now, const SendLine& send);

// An acknowledgement came: up to `cumulative`, and the lines after it that `map` marks.
void delivery_acked(Delivery* d, std::uint32_t now, std::uint32_t cumulative, std::uint64_t map,
                    const SendLine& send);

// Milliseconds until delivery_pump has something to do; 0xFFFFFFFF when nothing waits.
std::uint32_t delivery_due_in(const Delivery* d, std::uint32_t now);

// After 30 s without an acknowledgement of anything new, every waiting line is dropped: true,
// with how many and the first of them.
bool delivery_give_up(Delivery* d, std::uint32_t now, std::size_t* count, std::string* first);

// A line came; the lines now ready to show, in order, are added to `ready`.
void delivery_take(Delivery* d, std::uint32_t seq, std::string text,
                   std::vector<std::string>* ready);

// What to acknowledge now.
void delivery_ack(const Delivery* d, std::uint32_t* cumulative, std::uint64_t* map);
