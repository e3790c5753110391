#include "peer/delivery.h"

#include <algorithm>

namespace {

constexpr std::uint32_t kMinRtoMs = 200;
constexpr std::uint32_t kMaxRtoMs = 8000;
constexpr std::uint32_t kGiveUpMs = 30000;
constexpr std::uint32_t kNothing = 0xFFFFFFFF;

// The time-out of a line: doubled at every time-out it has had.
std::uint32_t timeout_of(const Delivery* d, const Outgoing& o) {
    return std::min(d->rto << std::min(o.timeouts, 6), kMaxRtoMs);
}

bool in_window(const Delivery* d, const Outgoing& o) {
    return o.seq - d->out.front().seq < kWindow;
}

void send_line(Outgoing* o, std::uint32_t now, const SendLine& send) {
    send(o->seq, o->text);
    o->sent_at = now;
    ++o->sends;
}

// Round-trip estimate as TCP keeps it, from lines sent only once.
void sample_rtt(Delivery* d, std::uint32_t rtt) {
    if (d->srtt == 0) {
        d->srtt = std::max(rtt, 1u);
        d->rttvar = rtt / 2;
    } else {
        const std::uint32_t error = rtt > d->srtt ? rtt - d->srtt : d->srtt - rtt;
        d->rttvar = (3 * d->rttvar + error) / 4;
        d->srtt = std::max((7 * d->srtt + rtt) / 8, 1u);
    }
    d->rto = std::clamp(d->srtt + 4 * d->rttvar, kMinRtoMs, kMaxRtoMs);
}

}  // namespace

void delivery_queue(Delivery* d, std::string text, std::uint32_t now) {
    if (d->out.empty()) d->heard_at = now;  // the wait for an answer starts now
    d->out.push_back(Outgoing{d->next_seq++, std::move(text), 0, 0, 0, false});
}

void delivery_pump(Delivery* d, std::uint32_t now, const SendLine& send) {
    for (Outgoing& o : d->out) {
        if (!in_window(d, o)) break;
        if (o.acked) continue;
        if (o.sends == 0) {
            send_line(&o, now, send);
        } else if (now - o.sent_at >= timeout_of(d, o)) {
            ++o.timeouts;
            send_line(&o, now, send);
        }
    }
}

void delivery_acked(Delivery* d, std::uint32_t now, std::uint32_t cumulative, std::uint64_t map,
                    const SendLine& send) {
    std::uint32_t highest = cumulative;
    for (Outgoing& o : d->out) {
        const std::uint32_t bit = o.seq - cumulative - 2;  // wraps for seq <= cumulative + 1
        const bool acked = o.seq <= cumulative || (bit < 64 && (map >> bit & 1) != 0);
        if (!acked || o.sends == 0) continue;
        highest = std::max(highest, o.seq);
        if (o.acked) continue;
        o.acked = true;
        d->heard_at = now;
        if (o.sends == 1) sample_rtt(d, now - o.sent_at);
    }
    while (!d->out.empty() && d->out.front().acked) d->out.pop_front();
    // A line passed over by later ones was most likely lost: send it again without waiting for
    // its time-out, but not more often than once a round trip.
    for (Outgoing& o : d->out) {
        if (o.seq > highest) break;
        if (!o.acked && now - o.sent_at > d->srtt) send_line(&o, now, send);
    }
    if (!d->out.empty()) delivery_pump(d, now, send);
}

std::uint32_t delivery_due_in(const Delivery* d, std::uint32_t now) {
    std::uint32_t due = kNothing;
    for (const Outgoing& o : d->out) {
        if (!in_window(d, o)) break;
        if (o.acked) continue;
        if (o.sends == 0) return 0;
        const std::uint32_t timeout = timeout_of(d, o);
        due = std::min(due, timeout - std::min(now - o.sent_at, timeout));
    }
    return due;
}

bool delivery_give_up(Delivery* d, std::uint32_t now, std::size_t* count, std::string* first) {
    if (d->out.empty() || now - d->heard_at < kGiveUpMs) return false;
    *count = d->out.size();
    *first = d->out.front().text;
    d->out.clear();
    return true;
}

void delivery_take(Delivery* d, std::uint32_t seq, std::string text,
                   std::vector<std::string>* ready) {
    // Only lines the sender's window allows; anything else is old or forged.
    if (seq - d->delivered - 1 >= kWindow) return;
    d->early.emplace(seq, std::move(text));
    for (auto next = d->early.begin(); next != d->early.end() && next->first == d->delivered + 1;
         next = d->early.erase(next)) {
        ready->push_back(std::move(next->second));
        ++d->delivered;
    }
}

void delivery_ack(const Delivery* d, std::uint32_t* cumulative, std::uint64_t* map) {
    *cumulative = d->delivered;
    *map = 0;
    for (const auto& [seq, text] : d->early) *map |= std::uint64_t{1} << (seq - d->delivered - 2);
}
