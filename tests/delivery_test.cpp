// Lossless delivery in simulated time: resending at the speed of the path, outages, stalls told,
// and the wrap of the numbers.

#include "secure/delivery.h"
#include "support.h"

namespace {

// Two deliveries on a path of a fixed round trip, in simulated milliseconds from just before the
// tick's wrap. `lose` drops lines by number, acknowledgements by their cumulative number.
struct Path {
    explicit Path(std::uint32_t round_trip) : rtt(round_trip) {}
    std::uint32_t rtt, t = 0;
    std::function<bool(std::uint32_t t, bool ack, std::uint32_t seq)> lose = [](auto...) { return false; };
    Delivery a, b;
    std::multimap<std::uint32_t, std::tuple<bool, std::uint32_t, std::uint64_t, std::string>> wire;  // by arrival
    std::map<std::uint32_t, std::vector<std::uint32_t>> sent;  // each line's sendings
    std::vector<std::string> shown;
    std::vector<std::tuple<std::uint32_t, std::size_t, std::string>> stalls;
    std::uint32_t now() const { return 0xFFFFFFFFu - 1000 + t; }
    void put(bool ack, std::uint32_t seq, std::uint64_t map, const std::string& text) {
        if (!lose(t, ack, seq)) wire.emplace(t + (ack ? rtt - rtt / 2 : rtt / 2), std::tuple{ack, seq, map, text});
    }
    void run(std::uint32_t ms) {
        const SendLine send = [this](std::uint32_t seq, const std::string& text) { sent[seq].push_back(t), put(false, seq, 0, text); };
        for (const std::uint32_t end = t + ms; t < end; ++t) {
            if (delivery_due_in(&a, now()) == 0) delivery_pump(&a, now(), send);
            for (auto w = wire.begin(); w != wire.end() && w->first <= t; w = wire.erase(w)) {
                auto [ack, seq, map, text] = w->second;
                if (ack) {
                    delivery_acked(&a, now(), seq, map, send);
                    continue;
                }
                delivery_take(&b, seq, text, &shown);
                delivery_ack(&b, &seq, &map);
                put(true, seq, map, "");
            }
            std::size_t count = 0;
            std::string first;
            if (delivery_stalled(&a, now(), &count, &first)) stalls.emplace_back(t, count, first);
        }
    }
    // The next lines up to "to", one every `every` ms.
    void queue(std::uint32_t to, std::uint32_t every) { for (; a.next_seq <= to; run(every)) delivery_queue(&a, std::to_string(a.next_seq)); }
};

std::vector<std::string> numbers(std::uint32_t n) {
    std::vector<std::string> all;
    while (all.size() < n) all.push_back(std::to_string(all.size() + 1));
    return all;
}

// At round trips of 1, 50 and 200 ms, once 20 lines have taught it, 10 lines (21-30) go at once and
// some, or their acknowledgements, are lost. A lost line is resent once (a lone probe twice), within
// the time the table gives; one whose acknowledgement came never is. Each is shown once, in order.
TEST(Delivery, ResendsLostLinesAtTheSpeedOfThePath) {
    const struct {
        const char* name;
        std::set<std::uint32_t> lost = {}, lost_acks = {}, resent = {};
        std::uint32_t eighths = 8;  // of a round trip, and a tick, from the sending to the last resending
        std::size_t copies = 1;
    } rows[] = {
        {.name = "one later line came: 9/8 round trip", .lost = {29}, .resent = {29}, .eighths = 9},
        {.name = "three later lines came: at once", .lost = {22, 24, 27}, .resent = {22, 24, 27}},
        {.name = "nothing after it: the probe time-out", .lost = {30}, .resent = {30}, .copies = 2},
        {.name = "the last two", .lost = {29, 30}, .resent = {29, 30}},
        {.name = "an acknowledgement lost: a later one says it", .lost_acks = {25}, .eighths = 0},
        {.name = "the last acknowledgement lost: nothing says it", .lost_acks = {30}, .resent = {30}, .copies = 2},
    };
    for (std::uint32_t rtt : {1u, 50u, 200u}) {
        for (const auto& c : rows) {
            SCOPED_TRACE(c.name);
            Path p(rtt);
            p.queue(20, rtt + 1);
            const std::uint32_t start = p.t;  // the first sendings of lines, and their first acknowledgements
            p.lose = [&](std::uint32_t t, bool ack, std::uint32_t seq) { return t == start + (ack ? rtt / 2 : 0) && (ack ? c.lost_acks : c.lost).count(seq); };
            p.queue(30, 0);
            p.run(1000);
            for (std::uint32_t seq = 21; seq <= 30; ++seq) {
                const std::vector<std::uint32_t>& at = p.sent[seq];
                EXPECT_TRUE(at.size() == 1 + c.resent.count(seq) * c.copies && at[0] == start && at.back() - start <= rtt * c.eighths / 8 + 2) << seq << " at " << rtt;
            }
            EXPECT_EQ(p.shown, numbers(30));
        }
        // Cut for 12 s, then losing each line's first sending: while nothing at all comes back, the
        // probe time-out doubles, up to 2 s; the first acknowledgement brings it back.
        Path p(rtt);
        p.queue(20, rtt + 1);
        p.lose = [&, back = p.t + 12000](std::uint32_t t, bool ack, std::uint32_t seq) { return t < back || (!ack && p.sent[seq].size() == 1); };
        p.queue(22, 14000);
        for (auto& [seq, at] : p.sent) at.erase(std::unique(at.begin(), at.end()), at.end());  // a lone line's two copies
        std::uint32_t gap = rtt + 2;
        for (std::size_t i = 1; i < p.sent[21].size(); ++i, gap = std::min(2 * gap, 2000u)) EXPECT_EQ(p.sent[21][i] - p.sent[21][i - 1], gap) << i << " at " << rtt;
        EXPECT_TRUE(gap == 2000 && p.sent[22].size() == 2 && p.sent[22][1] - p.sent[22][0] == rtt + 2) << rtt;
    }
}

// The first line lost, before any line's round trip: its probe goes at the guess's time-out, or at
// the agreement's round trip, which the first sample of a line's own then replaces.
TEST(Delivery, TheAgreementsRoundTripTimesTheFirstProbe) {
    for (auto [seed, rtt, probe] : {std::tuple{0u, 10u, 300u}, {1u, 1u, 3u}, {40u, 30u, 120u}}) {
        Path p(rtt);
        if (seed > 0) delivery_seed_rtt(&p.a, seed);
        p.lose = [](std::uint32_t t, bool ack, std::uint32_t) { return t == 0 && !ack; }, p.queue(2, probe + rtt + 1);
        EXPECT_TRUE(p.sent[1] == (std::vector<std::uint32_t>{0, probe, probe}) && p.a.srtt == rtt) << seed << " " << p.a.srtt;
    }
}

// A line every 100 ms for 60 s, at a round trip of 50 ms, across cuts at 10-50 s and 55-90 s: each
// stall is told once, 30 s in, with the lines then unconfirmed; every line comes, once and in order.
TEST(Delivery, LinesSurviveOutages) {
    Path p(50);
    p.lose = [](std::uint32_t t, bool, std::uint32_t) { return (t >= 10000 && t < 50000) || (t >= 55000 && t < 90000); };
    p.queue(200, 100);
    EXPECT_EQ(p.sent.rbegin()->first, 100 + kWindow) << "in the cut, nothing beyond the window goes";
    p.queue(600, 100);
    p.run(32000);
    EXPECT_EQ(p.stalls, (decltype(p.stalls){{40000, 301, "101"}, {85000, 50, "551"}}));
    EXPECT_EQ(p.shown, numbers(600));
    // Of "601" to "604", "602" and "603" come (one twice), and one beyond the window: the map of the
    // acknowledgement starts after the next line, and only "601" and "604" are unconfirmed.
    p.queue(604, 1);
    std::uint32_t cumulative = 0;
    std::uint64_t map = 0;
    for (std::uint32_t seq : {603u, 602u, 603u, 665u}) delivery_take(&p.b, seq, "", &p.shown);
    delivery_ack(&p.b, &cumulative, &map);
    EXPECT_TRUE(p.shown.size() == 600 && cumulative == 600 && map == 0b11) << cumulative << " " << map;
    delivery_acked(&p.a, p.now(), cumulative, map, [](std::uint32_t, const std::string&) {});
    std::string first;
    EXPECT_TRUE(delivery_unconfirmed(&p.a, &first) == 2 && first == "601");
    // Across the wrap of the numbers: 0 follows 2^32 - 1, and an acknowledgement from before it
    // acknowledges nothing after it.
    Delivery wrap;
    wrap.next_seq = wrap.delivered = 0xFFFFFFFE;
    for (std::uint32_t seq : {0u, 0xFFFFFFFEu, 0xFFFFFFFFu}) delivery_take(&wrap, seq, std::to_string(seq), &p.shown);
    for (int i = 0; i < 3; ++i) delivery_queue(&wrap, "");
    delivery_pump(&wrap, 0, [](std::uint32_t, const std::string&) {});
    delivery_acked(&wrap, 0, 0xFFFFFFFD, 0, [](std::uint32_t, const std::string&) {});
    EXPECT_TRUE(wrap.delivered == 0 && p.shown.back() == "0" && delivery_unconfirmed(&wrap, &first) == 3) << p.shown.back();
}

}  // namespace
