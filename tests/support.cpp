#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

#include "net/endpoint.h"

namespace test {
namespace {

std::mutex log_mutex;

void put16(std::string* s, std::size_t at, std::uint16_t v) {
    (*s)[at] = static_cast<char>(v >> 8);
    (*s)[at + 1] = static_cast<char>(v);
}

}  // namespace

UdpSocket::UdpSocket() : sock(platform::udp_open()), port(0) {
    EXPECT_NE(sock, platform::kInvalidSocket);
    platform::set_nonblocking(sock);
    EXPECT_TRUE(platform::bind_any(sock));
    platform::set_receive_buffer(sock, 1 << 20);
    platform::local_port(sock, &port);
}

UdpSocket::~UdpSocket() { platform::close_socket(sock); }

void UdpSocket::send(const std::string& bytes, platform::Endpoint to) const {
    send_patiently(sock, bytes.data(), bytes.size(), to);
}

bool UdpSocket::receive(std::string* bytes, platform::Endpoint* from,
                        std::uint32_t timeout_ms) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    char buffer[4096];
    while (true) {
        platform::RecvResult r = platform::recv_from(sock, buffer, sizeof buffer, from);
        if (r.status == platform::RecvStatus::ok) {
            bytes->assign(buffer, r.bytes);
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        platform::wait_readable(sock, 5);
    }
}

std::vector<std::string> UdpSocket::drain(std::uint32_t quiet_ms) const {
    std::vector<std::string> all;
    std::string bytes;
    platform::Endpoint from{};
    while (receive(&bytes, &from, quiet_ms)) all.push_back(bytes);
    return all;
}

void begin_capture() {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
}

std::string end_capture() {
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

std::FILE* input_file(const std::string& text) {
    std::FILE* f = std::tmpfile();
    std::fwrite(text.data(), 1, text.size(), f);
    std::rewind(f);
    return f;
}

bool eventually(const std::function<bool()>& done, std::uint32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

StunResponder::StunResponder(Reply r) : reply(std::move(r)) {
    worker = std::thread([this] {
        while (!stop.load()) {
            std::string request;
            platform::Endpoint from{};
            if (!socket.receive(&request, &from, 20)) continue;
            int n = ++count;
            {
                std::lock_guard<std::mutex> hold(log_mutex);
                log.push_back(request);
            }
            for (const std::string& answer : reply(n, request)) socket.send(answer, from);
        }
    });
}

StunResponder::~StunResponder() {
    stop.store(true);
    worker.join();
}

std::vector<std::string> StunResponder::received() const {
    std::lock_guard<std::mutex> hold(log_mutex);
    return log;
}

std::string binding_success(const std::string& request, std::uint32_t ip, std::uint16_t port) {
    std::string m(32, '\0');
    put16(&m, 0, 0x0101);
    put16(&m, 2, 12);
    m.replace(4, 16, request.substr(4, 16));  // cookie and transaction id
    put16(&m, 20, 0x0020);
    put16(&m, 22, 8);
    m[25] = 0x01;
    put16(&m, 26, static_cast<std::uint16_t>(port ^ 0x2112));
    const std::uint32_t x = ip ^ 0x2112A442;
    put16(&m, 28, static_cast<std::uint16_t>(x >> 16));
    put16(&m, 30, static_cast<std::uint16_t>(x));
    return m;
}

SimulatedClock::SimulatedClock(std::uint32_t start, std::uint32_t step_ms)
    : now(start), step(step_ms), main_thread(std::this_thread::get_id()) {
    clock.context = this;
    clock.now = [](void* c) { return static_cast<SimulatedClock*>(c)->now.load(); };
    clock.sleep = [](void* c, std::uint32_t ms) {
        auto* self = static_cast<SimulatedClock*>(c);
        if (std::this_thread::get_id() != self->main_thread) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return;
        }
        if (self->on_sleep) self->on_sleep(self->now.load());
        self->now.fetch_add(self->step != 0 ? self->step : ms);
    };
    platform::set_clock(&clock);
}

SimulatedClock::~SimulatedClock() { platform::set_clock(nullptr); }

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            if (start < text.size()) lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace test
