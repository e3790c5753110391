#include "secure/delivery.h"

#include <algorithm>

#include "platform/platform.h"

namespace {

constexpr std::uint64_t kLaterSendings = 3;  // sendings arrived after one that is then lost
constexpr std::uint32_t kGranularityMs = 2;  // what a tick can tell apart
constexpr std::uint32_t kAckDelayMs = 0;     // the peer acknowledges as soon as a line comes
constexpr std::uint32_t kLongestMs = 2000;   // between probes, however long nothing comes back
constexpr std::uint32_t kStallMs = 30000;
constexpr std::uint32_t kLongestRttMs = 60000;  // beyond it a sample says nothing of the path
constexpr std::size_t kProbeLines = 2;
constexpr std::uint32_t kNothing = 0xFFFFFFFF;

bool in_window(const Delivery* d, const Outgoing& o) {
    return o.seq - d->out.front().seq < kWindow;
}

bool in_flight(const Outgoing& o) { return o.sends > 0 && !o.acked; }

// A sending that a later one has overtaken on arrival.
bool overtaken(const Delivery* d, const Outgoing& o) {
    return in_flight(o) && o.sending < d->arrived;
}

// Whether a line of the window, where every line on its way is, is such.
template <typename Is>
bool any_in_window(const Delivery* d, Is is) {
    for (const Outgoing& o : d->out) {
        if (!in_window(d, o)) break;
        if (is(o)) return true;
    }
    return false;
}

// How long a sending overtaken by a later one that arrived may still be on its way.
std::uint32_t loss_delay(const Delivery* d) {
    return std::max(std::max(d->srtt, d->latest_rtt) * 9 / 8, kGranularityMs);
}

std::uint32_t probe_timeout(const Delivery* d) {
    const std::uint64_t base = d->srtt + std::max(4 * d->rttvar, kGranularityMs) + kAckDelayMs;
    return static_cast<std::uint32_t>(
        std::max<std::uint64_t>(std::min<std::uint64_t>(base << d->probes, kLongestMs), base));
}

void send_line(Delivery* d, Outgoing* o, std::uint32_t now, const SendLine& send) {
    send(o->seq, o->text);
    o->sent_at = now;
    o->sending = ++d->sendings;
    ++o->sends;
    d->last_sent_at = now;
}

// Round-trip estimate as RFC 9002 keeps it.
void sample_rtt(Delivery* d, std::uint32_t rtt) {
    rtt = std::min(rtt, kLongestRttMs);
    d->latest_rtt = rtt;
    if (!d->measured) {
        d->measured = true;
        d->srtt = rtt;
        d->rttvar = rtt / 2;
        return;
    }
    const std::uint32_t error = rtt > d->srtt ? rtt - d->srtt : d->srtt - rtt;
    d->rttvar = (3 * d->rttvar + error) / 4;
    d->srtt = (7 * d->srtt + rtt) / 8;
}

// Sends again every line lost by the count of later sendings that arrived, or by time.
void resend_lost(Delivery* d, std::uint32_t now, const SendLine& send) {
    const std::uint32_t delay = loss_delay(d);
    for (Outgoing& o : d->out) {
        if (!in_window(d, o)) break;
        if (overtaken(d, o) &&
            (d->arrived - o.sending >= kLaterSendings || now - o.sent_at >= delay)) {
            send_line(d, &o, now, send);
        }
    }
}

}  // namespace

void delivery_queue(Delivery* d, std::string text) {
    d->out.push_back(Outgoing{d->next_seq++, std::move(text), 0, 0, 0, false});
}

void delivery_seed_rtt(Delivery* d, std::uint32_t rtt) {
    if (d->measured) return;
    d->srtt = std::min(rtt, kLongestRttMs);
    d->rttvar = d->srtt / 2;
}

void delivery_pump(Delivery* d, std::uint32_t now, const SendLine& send) {
    bool waiting = any_in_window(d, in_flight);
    for (Outgoing& o : d->out) {
        if (!in_window(d, o)) break;
        if (o.sends != 0) continue;
        if (!waiting) d->waiting_since = now;  // the wait for an answer starts now
        waiting = true;
        send_line(d, &o, now, send);
    }
    resend_lost(d, now, send);
    // Lines wait, none is known lost, and nothing has come back for a while: the oldest go again.
    const bool overtaken_any = any_in_window(d, [d](const Outgoing& o) { return overtaken(d, o); });
    if (!waiting || overtaken_any || now - d->last_sent_at < probe_timeout(d)) return;
    std::size_t probed = 0;
    Outgoing* oldest = nullptr;
    for (Outgoing& o : d->out) {
        if (probed == kProbeLines || !in_window(d, o)) break;
        if (in_flight(o)) {
            send_line(d, &o, now, send);
            if (probed++ == 0) oldest = &o;
        }
    }
    // A lone line goes twice: across 20 % loss each way a probe and its answer then get through
    // 87 times in 100 rather than 64, and the doubled time-outs that follow a failed probe, which
    // stall a paste whose window waits on that line, come four times less often.
    if (probed == 1) send_line(d, oldest, now, send);
    d->probes = std::min(d->probes + 1, 20);
}

void delivery_acked(Delivery* d, std::uint32_t now, std::uint32_t cumulative, std::uint64_t map,
                    const SendLine& send) {
    const Outgoing* latest = nullptr;  // of the lines this acknowledges first, the one sent last
    for (Outgoing& o : d->out) {
        if (!in_window(d, o)) break;
        // Sequence numbers wrap: "up to cumulative" is up to it in the order of the numbers.
        const bool upto = static_cast<std::int32_t>(cumulative - o.seq) >= 0;
        const std::uint32_t bit = o.seq - cumulative - 2;  // wraps for seq <= cumulative + 1
        const bool acked = upto || (bit < 64 && (map >> bit & 1) != 0);
        if (!acked || !in_flight(o)) continue;
        o.acked = true;
        if (latest == nullptr || o.sending > latest->sending) latest = &o;
    }
    if (latest == nullptr) return;
    // Only a line sent once tells its round trip: the answer to any other may be to an earlier
    // sending.
    if (latest->sends == 1) sample_rtt(d, now - latest->sent_at);
    d->arrived = std::max(d->arrived, latest->sending);
    d->probes = 0;
    d->waiting_since = now;
    d->stall_told = false;
    while (!d->out.empty() && d->out.front().acked) d->out.pop_front();
    delivery_pump(d, now, send);
}

std::uint32_t delivery_due_in(const Delivery* d, std::uint32_t now) {
    std::uint32_t due = kNothing;
    bool waiting = false;
    bool overtaken_any = false;
    for (const Outgoing& o : d->out) {
        if (!in_window(d, o)) break;
        if (o.sends == 0) return 0;
        if (!in_flight(o)) continue;
        waiting = true;
        if (overtaken(d, o)) {
            overtaken_any = true;
            due = std::min(due, platform::left_of(loss_delay(d), o.sent_at, now));
        }
    }
    if (!waiting) return due;
    if (!overtaken_any) due = std::min(due, platform::left_of(probe_timeout(d), d->last_sent_at, now));
    if (!d->stall_told) due = std::min(due, platform::left_of(kStallMs, d->waiting_since, now));
    return due;
}

bool delivery_stalled(Delivery* d, std::uint32_t now, std::size_t* count, std::string* first) {
    if (d->stall_told || now - d->waiting_since < kStallMs || !any_in_window(d, in_flight)) {
        return false;
    }
    *count = delivery_unconfirmed(d, first);
    d->stall_told = true;
    return true;
}

std::size_t delivery_unconfirmed(const Delivery* d, std::string* first) {
    if (!d->out.empty()) *first = d->out.front().text;
    return static_cast<std::size_t>(
        std::count_if(d->out.begin(), d->out.end(), [](const Outgoing& o) { return !o.acked; }));
}

void delivery_take(Delivery* d, std::uint32_t seq, std::string text,
                   std::vector<std::string>* ready) {
    // Only lines the sender's window allows; anything else is old or forged.
    if (seq - d->delivered - 1 >= kWindow) return;
    d->early.emplace(seq, std::move(text));
    // Looked up by number, not taken first in order: after the wrap, 0 follows 2^32 - 1.
    for (auto next = d->early.find(d->delivered + 1); next != d->early.end();
         next = d->early.find(d->delivered + 1)) {
        ready->push_back(std::move(next->second));
        ++d->delivered;
        d->early.erase(next);
    }
}

void delivery_ack(const Delivery* d, std::uint32_t* cumulative, std::uint64_t* map) {
    *cumulative = d->delivered;
    *map = 0;
    for (const auto& [seq, text] : d->early) *map |= std::uint64_t{1} << (seq - d->delivered - 2);
}
