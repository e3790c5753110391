// Our router's mapping asked, kept or deleted, refreshed and deleted at the end, against a router
// on loopback that speaks PCP; when a refresh falls due.

#include "bytes/byte_order.h"
#include "portmap/pcp.h"
#include "portmap/portmap.h"
#include "support.h"

namespace {

// A router that answers every PCP MAP request with `result`, granting 198.51.100.11:40001 for
// `lifetime_s`, and keeps the lifetimes asked.
struct Router {
    Router() : worker([this] { serve(); }) {}
    ~Router() {
        done = true;
        worker.join();
    }
    void serve() {
        std::string d;
        platform::Endpoint from{};
        while (!done) {
            if (!sock.receive(&d, &from, 20) || d.size() != kPcpMapSize || d[0] != 2) continue;
            auto* m = reinterpret_cast<std::uint8_t*>(d.data());
            const std::lock_guard<std::mutex> hold(mutex);
            asked.push_back(read32(m + 4));
            std::fill(m + 8, m + 24, 0);  // epoch time and reserved, where the client was
            m[1] = 0x81, m[3] = static_cast<std::uint8_t>(result), m[42] = 0x9C, m[43] = 0x41;
            write32(m + 4, result == 0 ? lifetime_s.load() : 0);
            write32(m + 56, 0xC633640B);
            sock.send(d, from);
        }
    }
    std::vector<std::uint32_t> lifetimes() {
        const std::lock_guard<std::mutex> hold(mutex);
        return asked;
    }
    test::UdpSocket sock;
    std::atomic<bool> done{false};
    std::atomic<int> result{0};
    std::atomic<std::uint32_t> lifetime_s{3000};
    std::mutex mutex;
    std::vector<std::uint32_t> asked;
    std::thread worker;
};

TEST(PortMap, KeptWhereTheStunServersSawItRefreshedAndDeleted) {
    using Asked = std::vector<std::uint32_t>;
    for (const bool seen : {true, false}) {
        SCOPED_TRACE(seen ? "the address the STUN servers saw" : "another NAT's address");
        Router router;
        test::UdpSocket own;
        PeerSession s;
        session_init(&s);
        s.sockets.sock = own.sock;
        s.found.mapped = {seen ? 0xC633640Bu : 0xC633640Cu, 1234};
        const std::string out = test::output_of([&](std::FILE*) {
            portmap_ask(&s, router.sock.endpoint(), false);
            portmap_settle(&s);
            EXPECT_EQ(router.lifetimes(), seen ? Asked{7200} : (Asked{7200, 0})) << "two hours asked; one unused deleted";
            test::SimulatedClock clock(platform::tick_ms());
            const std::uint32_t due = portmap_tick(&s);
            EXPECT_TRUE(seen ? due <= 1500000 && due > 1490000 : due == platform::kForever) << due;
            if (!seen) return;
            // Half the lifetime granted, then the router's new one; a refusal is asked again later.
            clock.now += due;
            router.lifetime_s = 1000;
            EXPECT_EQ(portmap_tick(&s), 500000u);
            router.result = 8;
            clock.now += 500000;
            EXPECT_EQ(portmap_tick(&s), 60000u);
            EXPECT_EQ(router.lifetimes(), (Asked{7200, 7200, 7200}));
        });
        EXPECT_EQ(platform::same_endpoint(s.found.portmapped, {0xC633640B, 40001}), seen);
        EXPECT_EQ(out, seen ? "Mapped address: 198.51.100.11:40001 (PCP)\n" : "the router's mapping is behind another NAT: not used\n");
        router.result = 0;
        portmap_release(&s);
        EXPECT_EQ(router.lifetimes().back(), 0u) << "deleted at the end";
        session_destroy(&s);
    }
}

TEST(PortMap, ARefreshComesAtHalfTheLifetimeADayAtMost) {
    for (const auto& [lifetime_s, after_ms] : {std::pair<std::uint32_t, std::uint32_t>{7200, 3600000}, {120, 60000}, {1, 500},
                                               {86400, 43200000}, {90000, 43200000}, {0, 0}}) {
        EXPECT_EQ(portmap_refresh_after(lifetime_s), after_ms) << lifetime_s;
    }
    // A refused refresh: never again at once.
    for (const auto& [l, ms] : {std::pair<std::uint32_t, std::uint32_t>{7200, 60000}, {1, 500}, {0, 500}}) EXPECT_EQ(portmap_retry_after(l), ms) << l;
}

}  // namespace
