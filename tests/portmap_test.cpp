// Our router's mapping asked, kept or deleted, refreshed and deleted at the end, against a router
// on loopback that speaks PCP or NAT-PMP; when a refresh falls due.

#include "bytes/byte_order.h"
#include "portmap/pcp.h"
#include "portmap/portmap.h"
#include "support.h"

namespace {

TEST(PortMap, KeptWhereTheStunServersSawItRefreshedAndDeleted) {
    using Asked = std::vector<std::uint32_t>;
    enum Grant { seen, another_nat, late, natpmp_late };
    for (const Grant row : {seen, another_nat, late, natpmp_late}) {
        const char* const names[] = {"the address the STUN servers saw", "another NAT's", "after we stopped waiting", "NAT-PMP's, late"};
        SCOPED_TRACE(names[row]);
        std::atomic<bool> settled{false};
        std::atomic<int> result{0};
        std::atomic<std::uint32_t> granted{3000};
        // A router that answers PCP MAP requests with `result`, granting 198.51.100.11:40001 for
        // `granted` seconds; or one that speaks only NAT-PMP, whose address answer is lost.
        test::Responder router([&](int n, std::string m) {
            auto* p = reinterpret_cast<std::uint8_t*>(m.data());
            if ((row == late && n == 1) || m.size() == kNatPmpMapSize) test::eventually([&] { return settled.load(); });
            // NAT-PMP's grant of port 40001 for the lifetime asked.
            if (m.size() == kNatPmpMapSize) return test::Lines{std::string("\0\x81\0\0\0\0\0\0", 8) + m.substr(4, 2) + "\x9C\x41" + m.substr(8, 4)};
            if (m[0] == 0 || row == natpmp_late) return test::Lines(m[0] == 0 ? 0 : 1, std::string("\0\x81\0\1", 4));  // unsupported
            std::fill(p + 8, p + 24, 0);  // epoch time and reserved, where the client was
            p[1] = 0x81, p[3] = static_cast<std::uint8_t>(result.load()), p[42] = 0x9C, p[43] = 0x41;
            write32(p + 4, result == 0 ? granted.load() : 0);
            write32(p + 56, 0xC633640B);
            return test::Lines{m};
        }, [](const std::string& d) { return d[0] == 0 || (d.size() == kPcpMapSize && d[0] == 2); });
        const auto lifetimes = [&] {  // of every mapping asked, PCP's or NAT-PMP's
            Asked asked;
            for (const std::string& r : router.received()) {
                if (r.size() != kNatPmpAddressSize) asked.push_back(read32(reinterpret_cast<const std::uint8_t*>(r.data()) + (r[0] == 2 ? 4 : 8)));
            }
            return asked;
        };
        test::Rig rig;
        rig.s.found.mapped = {row == another_nat ? 0xC633640Cu : 0xC633640Bu, 1234};
        const std::string out = test::output_of([&](std::FILE*) {
            portmap_ask(&rig.s, router.socket.endpoint(), false);
            portmap_settle(&rig.s);
            settled = true;
            EXPECT_TRUE(row < late || test::eventually([&] { return lifetimes().back() == 0; })) << "deleted once it comes";
            EXPECT_TRUE(row >= late || lifetimes() == (row == seen ? Asked{7200} : Asked{7200, 0})) << "two hours asked; one unused deleted";
            test::SimulatedClock clock(platform::tick_ms());
            const std::uint32_t due = portmap_tick(&rig.s);
            EXPECT_TRUE(row == seen ? due <= 1500000 && due > 1490000 : due == platform::kForever) << due;
            if (row != seen) return;
            // Half the lifetime granted, then the router's new one; a refusal is asked again later.
            clock.now += due;
            granted = 1000;
            EXPECT_EQ(portmap_tick(&rig.s), 500000u);
            result = 8;
            clock.now += 500000;
            EXPECT_EQ(portmap_tick(&rig.s), 60000u);
            EXPECT_EQ(lifetimes(), (Asked{7200, 7200, 7200}));
        });
        EXPECT_EQ(platform::same_endpoint(rig.s.found.portmapped, {0xC633640B, 40001}), row == seen);
        EXPECT_EQ(out, row == seen ? "Mapped address: 198.51.100.11:40001 (PCP)\n"
                       : row == another_nat ? "the router's mapping is behind another NAT: not used\n" : "");
        result = 0;
        portmap_release(&rig.s);
        EXPECT_EQ(lifetimes().back(), 0u) << "deleted at the end";
    }
}

// A router that answers nothing holds the start-up back a moment only, in simulated time; with
// no socket of ours to map, nothing is asked at all.
TEST(PortMap, ASilentRouterIsGivenAMomentOnly) {
    test::Responder router([](int, const std::string&) { return test::Lines{}; }, [](const std::string&) { return true; });
    test::Rig rig;
    rig.s.sockets.sock = platform::kInvalidSocket;
    portmap_ask(&rig.s, router.socket.endpoint(), false);
    EXPECT_EQ(rig.s.portmap, nullptr);
    rig.s.sockets.sock = rig.own.sock;
    test::SimulatedClock clock(0xFFFFFFFFu - 100);
    portmap_ask(&rig.s, router.socket.endpoint(), false);
    portmap_settle(&rig.s);
    EXPECT_EQ(clock.now - (0xFFFFFFFFu - 100), 150u);
    for (int i = 0; i < 50; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1))) clock.now += 100;  // past the wait for late answers
    portmap_release(&rig.s);
}

TEST(PortMap, ARefreshComesAtHalfTheLifetimeADayAtMost) {
    for (const auto& [lifetime_s, after_ms] : {std::pair<std::uint32_t, std::uint32_t>{1, 500}, {86400, 43200000}, {90000, 43200000}, {0, 0}}) {
        EXPECT_EQ(portmap_refresh_after(lifetime_s), after_ms) << lifetime_s;
    }
    // A refused refresh: never again at once.
    for (const auto& [l, ms] : {std::pair<std::uint32_t, std::uint32_t>{7200, 60000}, {1, 500}, {0, 500}}) EXPECT_EQ(portmap_retry_after(l), ms) << l;
}

}  // namespace
