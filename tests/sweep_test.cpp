// The sweep, in simulated time: rounds 100 ms apart of at most 10 punches, or longer ones.

#include "path/sweep.h"
#include "support.h"

TEST(Sweep, RateTotalAndOnlyTheTypedAddress) {
    const std::uint32_t typed = 0xC6336409;
    for (const std::uint32_t start : {1000000u, 0xFFFFFFFFu - 5000}) {
        for (const std::uint32_t step : {100u, 333u}) {
            for (const std::uint32_t random : {0u, 0xFFFFFFFFu, 0x9E3779B9u}) {
                Sweep sweep;
                sweep_begin(&sweep, typed, start, random);
                std::vector<std::uint16_t> ports;
                for (std::uint32_t e = 0; e <= 120000; e += step) {
                    platform::Endpoint out[40];
                    const std::size_t n = sweep_due(&sweep, start + e, out, (step + 99) / 100 * 10);
                    for (std::size_t i = 0; i < n; ++i) {
                        EXPECT_EQ(out[i].ip, typed);
                        ports.push_back(out[i].port);
                    }
                    // Never more than 100 a second since the sweep began, 3 s in.
                    const std::uint32_t allowed = e < 3000 ? 0 : (e - 3000) / 10;
                    EXPECT_LE(ports.size(), allowed) << e;
                    EXPECT_GE(ports.size() + 20, std::min(allowed, 4000u)) << e;
                }
                EXPECT_EQ(ports.size(), 4000u);
                // The walk goes on past the total to every port from 1024 up, each once.
                for (std::uint32_t n = 4000; n < 64512; ++n) ports.push_back(sweep_port(&sweep, n));
                std::sort(ports.begin(), ports.end());
                EXPECT_TRUE(ports.front() == 1024 && std::unique(ports.begin(), ports.end()) == ports.end());
            }
        }
    }
}
