#include "session/session.h"


bool session_init(PeerSession* session) {
    Sockets& net = session->sockets;
    net.sock = platform::kInvalidSocket;
    net.candidate_count = 0;
    net.settled.store(false, std::memory_order_relaxed);
    session->found = Discovered{{0, 0}, {0, 0}, {0, 0}, {0, 0}, NatKind::unknown, {0, 0}, 0};
    Peer& peer = session->peer;
    peer.remote = PeerLine{};
    peer.typed = platform::Endpoint{0, 0};
    peer.at = platform::Endpoint{0, 0};
    peer.path_heard.store(0, std::memory_order_relaxed);
    peer.learned = Learned{false, false, -1, {}, false, false, 0};
    for (auto& bits : peer.punched) bits.store(0, std::memory_order_relaxed);
    for (auto& bits : peer.barred) bits.store(0, std::memory_order_relaxed);
    // A tag anyone could guess would let anyone prove to be us.
    if (!platform::random_bytes(peer.own_tag, sizeof peer.own_tag)) return false;
    peer.secure_only = false;
    peer.agreed.store(false, std::memory_order_relaxed);
    RunState& run = session->run;
    run.running.store(true, std::memory_order_relaxed);
    run.connected.store(false, std::memory_order_relaxed);
    run.interrupted.store(false, std::memory_order_relaxed);
    run.failed.store(false, std::memory_order_relaxed);
    run.packets_received.store(0, std::memory_order_relaxed);
    run.strangers_dropped.store(0, std::memory_order_relaxed);
    run.last_heard.store(0, std::memory_order_relaxed);
    run.presence.store(Presence::present, std::memory_order_relaxed);
    session->workers = Workers{platform::Thread{nullptr}, platform::Thread{nullptr}};
    session->secure = nullptr;
    session->relay = nullptr;
    session->relayed = platform::Endpoint{0, 0};
    session->relay_sock = platform::kInvalidSocket;
    session->portmap = nullptr;
    if (!platform::waker_open(&run.wake)) return false;
    if (!console_init(&session->console)) {
        platform::waker_close(&run.wake);
        return false;
    }
    platform::lock_init(&peer.lock);
    return true;
}

void session_destroy(PeerSession* session) {
    platform::lock_destroy(&session->peer.lock);
    console_destroy(&session->console);
    platform::waker_close(&session->run.wake);
}

platform::Endpoint peer_endpoint(PeerSession* s) {
    platform::lock_enter(&s->peer.lock);
    const platform::Endpoint to = s->peer.at;
    platform::lock_leave(&s->peer.lock);
    return to;
}

void set_peer_endpoint(PeerSession* s, const platform::Endpoint& to) {
    platform::lock_enter(&s->peer.lock);
    s->peer.at = to;
    platform::lock_leave(&s->peer.lock);
}

bool swap_peer_endpoint(PeerSession* s, const platform::Endpoint& expected, const platform::Endpoint& to) {
    platform::lock_enter(&s->peer.lock);
    const bool still = platform::same_endpoint(s->peer.at, expected);
    if (still) s->peer.at = to;
    platform::lock_leave(&s->peer.lock);
    return still;
}

void stop_running(PeerSession* session) {
    session->run.running.store(false, std::memory_order_relaxed);
    platform::waker_signal(&session->run.wake);
}

