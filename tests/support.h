// What the tests share: loopback sockets, captured output, STUN messages and a scripted STUN
// responder, a simulated clock, a session on a loopback socket, and the headers every test file needs.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "address/address_text.h"
#include "relay/relay.h"
#include "relay/turn.h"
#include "sockets/sockets.h"
#include "stun/message.h"
#include "peer/identity.h"
#include "path/keepalive.h"
#include "path/punch.h"
#include "peer/proof.h"
#include "path/receiver.h"
#include "secure/secure_link.h"
#include "session/session.h"
#include "platform/platform.h"

namespace test {

using Lines = std::vector<std::string>;
using Bytes = std::vector<std::uint8_t>;
inline constexpr std::uint32_t kLoopback = 0x7F000001;

// The peer as one endpoint typed.
inline PeerLine typed(platform::Endpoint e) { return PeerLine{{e}, 1}; }

// A punch or an answer with the proof of the line tagged `tag`, as sent to `to`; the first
// `keep` bytes of it.
inline std::string proven(const std::uint8_t* tag, const char* word, const platform::Endpoint& to, std::size_t keep = 64) {
    const ProvenWord w = proven_word(tag, word, to);
    return std::string(reinterpret_cast<const char*>(w.bytes), std::min(keep, w.size));
}
// As `s` sends it.
inline std::string proven(const PeerSession& s, const char* word, const platform::Endpoint& to) { return proven(s.peer.own_tag, word, to); }

// What our relay hands on from `from`: a Data indication, laid out as a Send indication.
inline std::string data_indication(const platform::Endpoint& from, const std::string& data) {
    std::uint8_t out[4096];
    const std::size_t n = turn_build_send(from, reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), out, sizeof out);
    out[1] = 0x17;
    return std::string(reinterpret_cast<char*>(out), n);
}

// Waits in real time until `done` holds, at most `timeout_ms`; returns whether it did.
inline bool eventually(const std::function<bool()>& done, std::uint32_t timeout_ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(1))) { if (std::chrono::steady_clock::now() > end) return false; }
    return true;
}

// [::1]:port, where every test socket answers too.
inline platform::Endpoint loopback6(std::uint16_t port) { platform::Endpoint e{0, port, true}; e.ip6[15] = 1; return e; }

// A bound, non-blocking UDP socket on every interface.
struct UdpSocket {
    UdpSocket() : sock(platform::udp_open()) {
        platform::set_nonblocking(sock);
        platform::bind_any(sock);
        platform::set_receive_buffer(sock, 1 << 20);
        platform::local_port(sock, &port);
    }
    ~UdpSocket() { platform::close_socket(sock); }
    platform::Endpoint endpoint() const { return {kLoopback, port}; }
    void send(const std::string& d, platform::Endpoint to) const { send_patiently(sock, d.data(), d.size(), to); }
    // One datagram within `timeout_ms`, or false.
    bool receive(std::string* d, platform::Endpoint* from, std::uint32_t timeout_ms) const {
        char buffer[4096];
        return eventually([&] {
            const platform::RecvResult r = platform::recv_from(sock, buffer, sizeof buffer, from);
            if (r.status == platform::RecvStatus::ok) d->assign(buffer, r.bytes);
            return r.status == platform::RecvStatus::ok;
        }, timeout_ms);
    }
    // Everything that arrives until `quiet_ms` pass without a datagram.
    Lines drain(std::uint32_t quiet_ms) const {
        Lines all;
        platform::Endpoint from{};
        for (std::string d; receive(&d, &from, quiet_ms);) all.push_back(d);
        return all;
    }
    platform::Socket sock;
    std::uint16_t port = 0;
};

// Standard output of `run()`, with `typed` as its input file.
inline std::string output_of(const std::function<void(std::FILE* in)>& run, const std::string& typed = "") {
    std::FILE* in = std::tmpfile();
    std::fwrite(typed.data(), 1, typed.size(), in);
    std::rewind(in);
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    run(in);
    std::fflush(stdout);
    std::fclose(in);
    return testing::internal::GetCapturedStdout();
}

// A Binding Success Response to `request` with an XOR-MAPPED-ADDRESS of ip:port.
inline std::string binding_success(const std::string& request, std::uint32_t ip, int port) {
    const std::uint32_t x = ip ^ 0x2112A442;
    port ^= 0x2112;
    return std::string("\x01\x01\x00\x0c", 4) + request.substr(4, 16) + std::string("\x00\x20\x00\x08\x00\x01", 6) + char(port >> 8) + char(port) +
           char(x >> 24) + char(x >> 16) + char(x >> 8) + char(x);
}

// RFC 5769's IPv4 Binding Success Response: SOFTWARE, XOR-MAPPED-ADDRESS 192.0.2.1:32853,
// MESSAGE-INTEGRITY, FINGERPRINT.
inline const Bytes kRfc5769Response = {
    1, 1, 0, 0x3c, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 1, 0xbc, 0x34, 0xd6, 0x86, 0xfa, 0x87,
    0xdf, 0xae, 0x80, 0x22, 0, 0x0b, 0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63, 0x74, 0x6f,
    0x72, 0x20, 0, 0x20, 0, 8, 0, 1, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43, 0, 8, 0, 0x14, 0x2b, 0x91,
    0xf5, 0x99, 0xfd, 0x9e, 0x90, 0xc3, 0x8c, 0x74, 0x89, 0xf9, 0x2a, 0xf9, 0xba, 0x53, 0xf0, 0x6b,
    0xe7, 0xd7, 0x80, 0x28, 0, 4, 0xc0, 0x7d, 0x4c, 0x96};
inline const std::uint8_t* const kRfc5769Id = kRfc5769Response.data() + 8;
// Its XOR-MAPPED-ADDRESS value: 192.0.2.1:32853 (225.18.166.67:41287 read as a MAPPED-ADDRESS).
inline const Bytes kXorAddress = {0, 1, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43};

// `m` with the byte at `at` replaced.
inline Bytes with(Bytes m, std::size_t at, std::uint8_t value) { m[at] = value; return m; }

// A STUN attribute padded to 4 bytes; `length` may lie about the value.
inline Bytes attr(std::uint16_t type, const Bytes& value, int length = -1) {
    const auto n = static_cast<std::uint16_t>(length < 0 ? value.size() : length);
    Bytes a((value.size() + 7) / 4 * 4, 0xEE);
    a[0] = std::uint8_t(type >> 8), a[1] = std::uint8_t(type), a[2] = std::uint8_t(n >> 8), a[3] = std::uint8_t(n);
    std::copy(value.begin(), value.end(), a.begin() + 4);
    return a;
}

// A server's message of transaction `id`: the attributes, then MESSAGE-INTEGRITY under `key`, if
// any, and a FINGERPRINT.
inline Bytes server_message(std::uint16_t type, const std::uint8_t* id, const std::vector<Bytes>& attrs,
                            const std::uint8_t* key, bool fingerprint = true) {
    std::uint8_t out[600];
    StunWriter w{out, sizeof out, 0, false};
    stun_begin(&w, type, id);
    for (const Bytes& a : attrs) stun_add(&w, std::uint16_t(a[0] << 8 | a[1]), a.data() + 4, std::size_t(a[2] << 8 | a[3]));
    if (key != nullptr) stun_add_integrity(&w, key, 16);
    if (fingerprint) stun_add_fingerprint(&w);
    return Bytes(out, out + w.size);
}

// A server on loopback that answers request n (from 1) with `reply(n, request)`, a request being
// what `asks` takes (a STUN Binding Request unless told otherwise), and ignores anything else.
struct Responder {
    using Reply = std::function<Lines(int n, const std::string& request)>;
    using Asks = std::function<bool(const std::string& datagram)>;
    static bool binding_request(const std::string& d) { return d.size() == 20 && d.compare(0, 8, std::string("\0\1\0\0\x21\x12\xA4\x42", 8)) == 0; }
    explicit Responder(Reply reply, Asks asks = binding_request)
        : worker([this, reply, asks] {
              std::string request;
              for (platform::Endpoint from{}; !stop;) {
                  if (!socket.receive(&request, &from, 20) || !asks(request)) continue;
                  std::unique_lock<std::mutex> hold(mutex);
                  log.push_back(request);
                  const int n = static_cast<int>(log.size());
                  hold.unlock();
                  for (const std::string& a : reply(n, request)) socket.send(a, from);
              }
          }) {}
    // A STUN server that answers every request with ip:port.
    Responder(std::uint32_t ip, int port)
        : Responder([ip, port](int, const std::string& r) { return Lines{binding_success(r, ip, port)}; }) {}
    std::string at() const { return "127.0.0.1:" + std::to_string(socket.port); }
    ~Responder() { stop = true; worker.join(); }
    Lines received() {
        std::lock_guard<std::mutex> hold(mutex);
        return log;
    }
    UdpSocket socket;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    Lines log;
    std::thread worker;
};

// Simulated time: sleep_ms() on the creating thread runs `on_sleep`, then advances the clock by
// `step_ms` (by the time asked for when 0); on other threads it sleeps a real millisecond.
struct SimulatedClock {
    explicit SimulatedClock(std::uint32_t start, std::uint32_t step_ms = 0) : now(start), step(step_ms), owner(std::this_thread::get_id()) {
        platform::set_clock(&clock);
    }
    ~SimulatedClock() { platform::set_clock(nullptr); }
    static void sleep(void* c, std::uint32_t ms) {
        auto* self = static_cast<SimulatedClock*>(c);
        if (std::this_thread::get_id() != self->owner) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return;
        }
        if (self->on_sleep) self->on_sleep(self->now);
        self->now += self->step != 0 ? self->step : ms;
    }
    std::atomic<std::uint32_t> now;
    std::uint32_t step;
    std::thread::id owner;
    std::function<void(std::uint32_t now)> on_sleep;
    platform::Clock clock{[](void* c) { return static_cast<SimulatedClock*>(c)->now.load(); }, sleep, this};
};

// A commitment or a key, made by `make`, as `h` sends it.
inline std::string message(void (*make)(const Handshake*, std::uint8_t*), const Handshake& h) {
    std::uint8_t m[kHandshakeSize];
    make(&h, m);
    return std::string(reinterpret_cast<char*>(m), sizeof m);
}

// Plays the peer's side of the agreement at `peer` until our key has come: the peer's key, sent to
// `to`, answers our commitment and our key. Each datagram goes past `seen` first; after a wait of
// `wait_ms` that brings nothing, `silence` says whether to wait again.
inline void agree_as_peer(const UdpSocket& peer, platform::Endpoint to, Handshake* h, Channel* keys,
                   std::uint32_t wait_ms, const std::function<bool()>& silence,
                   const std::function<void(const std::string&)>& seen = [](const std::string&) {}) {
    std::string d;
    platform::Endpoint from{};
    for (bool keyed = false; !keyed;) {
        if (!peer.receive(&d, &from, wait_ms)) {
            if (!silence()) return;
            continue;
        }
        seen(d);
        const auto* m = reinterpret_cast<const std::uint8_t*>(d.data());
        const bool committed = take_commit(h, m, d.size());
        keyed = !committed && take_reveal(h, m, d.size(), keys);
        if (committed || keyed) peer.send(message(make_reveal, *h), to);
    }
}

// A line record sealed under `keys`: `body` is its number (4 bytes) and its text.
inline std::string sealed(Channel* keys, const std::string& body) {
    std::string m(body.size() + kRecordOverhead, '\0');
    seal_record(keys, 'L', body.data(), body.size(), reinterpret_cast<std::uint8_t*>(m.data()));
    return m;
}

// A session on a real loopback socket, a peer socket to talk to it, and one more; with its secure
// link open when asked.
struct Rig {
    explicit Rig(bool secure = false) {
        session_init(&s);
        s.sockets.sock = own.sock;
        identity_begin(&s, typed(peer.endpoint()));
        s.run.last_heard = platform::tick_ms();
        EXPECT_TRUE(!secure || (envelope_startup() && secure_link_open(&s)));
    }
    ~Rig() {
        s.relayed.port = 0;  // a relay a test opened has nothing to delete
        relay_release(&s);
        secure_link_close(&s);
        session_destroy(&s);
    }
    // The receiving worker, and the keepalive one too when asked.
    void start(bool keepalives = false) {
        platform::thread_start(&s.workers.receiver, receive_loop, &s);
        if (keepalives) platform::thread_start(&s.workers.keepalive, keepalive_loop, &s);
    }
    // Stops both workers, as the program does, before the output is read.
    void stop() {
        stop_running(&s);
        for (platform::Thread* t : {&s.workers.receiver, &s.workers.keepalive}) {
            EXPECT_TRUE(platform::thread_wait(*t, 2000));
            platform::thread_close(t);
        }
    }
    // Standard output while the workers run through `script`, stopped before it is read.
    std::string chat(const std::function<void()>& script, bool keepalives = false) {
        return output_of([&](std::FILE*) {
            start(keepalives);
            script();
            stop();
        });
    }
    UdpSocket own, peer, elsewhere;
    PeerSession s;
};

}  // namespace test
