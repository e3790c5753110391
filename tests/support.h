// Helpers shared by the tests: loopback sockets, captured output, a scripted STUN responder and
// a simulated clock.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace test {

inline constexpr std::uint32_t kLoopback = 0x7F000001;

// A bound, non-blocking UDP socket on every interface; closed on destruction.
struct UdpSocket {
    UdpSocket();
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    platform::Endpoint endpoint() const { return {kLoopback, port}; }
    void send(const std::string& bytes, platform::Endpoint to) const;
    // Waits up to `timeout_ms` for one datagram; false when none came.
    bool receive(std::string* bytes, platform::Endpoint* from, std::uint32_t timeout_ms) const;
    // Everything that arrives within `quiet_ms` of the previous datagram.
    std::vector<std::string> drain(std::uint32_t quiet_ms) const;

    platform::Socket sock;
    std::uint16_t port;
};

// Standard output of the code under test, as text.
void begin_capture();
std::string end_capture();

// A FILE* holding `text`, as standard input would; closed by the caller.
std::FILE* input_file(const std::string& text);

// Spins in real time until `done` holds or `timeout_ms` passes; returns `done()`.
bool eventually(const std::function<bool()>& done, std::uint32_t timeout_ms = 3000);

// A STUN server on loopback whose answers a test scripts. For each request it receives it calls
// `reply(n, request)` (n counts from 1) and sends back whatever datagrams that returns.
struct StunResponder {
    using Reply = std::function<std::vector<std::string>(int n, const std::string& request)>;
    explicit StunResponder(Reply reply);
    ~StunResponder();

    std::uint16_t port() const { return socket.port; }
    int requests() const { return count.load(); }
    std::vector<std::string> received() const;

    UdpSocket socket;
    Reply reply;
    std::atomic<int> count{0};
    std::atomic<bool> stop{false};
    mutable std::vector<std::string> log;
    std::thread worker;
};

// A Binding Success Response to `request` with an XOR-MAPPED-ADDRESS of ip:port.
std::string binding_success(const std::string& request, std::uint32_t ip, std::uint16_t port);

// Simulated time for the main thread: sleep_ms() there advances the clock by `step_ms` (the
// requested time by default) and first runs `on_sleep`. Other threads sleep a real millisecond
// and see the simulated tick.
struct SimulatedClock {
    SimulatedClock(std::uint32_t start, std::uint32_t step_ms = 0);
    ~SimulatedClock();

    std::atomic<std::uint32_t> now;
    std::uint32_t step;
    std::thread::id main_thread;
    std::function<void(std::uint32_t now)> on_sleep;
    platform::Clock clock;
};

std::vector<std::string> lines_of(const std::string& text);

}  // namespace test
