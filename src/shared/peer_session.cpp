#include "shared/peer_session.h"

#include <cstdio>

bool session_init(PeerSession* session) {
    session->sock = platform::kInvalidSocket;
    session->local_port = 0;
    session->local_ip[0] = '\0';
    session->public_ip[0] = '\0';
    session->public_port = 0;
    session->stun_server = platform::Endpoint{0, 0};
    session->nat = NatKind::unknown;
    session->typed_addr = platform::Endpoint{0, 0};
    session->peer_addr = platform::Endpoint{0, 0};
    session->heard_typed = false;
    session->learning_port = 0;
    for (auto& bits : session->punched) bits.store(0, std::memory_order_relaxed);
    session->secure_only = false;
    session->agreed.store(false, std::memory_order_relaxed);
    session->candidate_count = 0;
    session->settled.store(false, std::memory_order_relaxed);
    session->recv_thread = platform::Thread{nullptr};
    session->keepalive_thread = platform::Thread{nullptr};
    session->secure = nullptr;
    session->running.store(true, std::memory_order_relaxed);
    session->connected.store(false, std::memory_order_relaxed);
    session->interrupted.store(false, std::memory_order_relaxed);
    session->packets_received.store(0, std::memory_order_relaxed);
    session->strangers_dropped.store(0, std::memory_order_relaxed);
    session->last_heard.store(0, std::memory_order_relaxed);
    session->presence.store(Presence::present, std::memory_order_relaxed);
    const bool woken = platform::waker_open(&session->wake);
    if (woken) platform::lock_init(&session->console_lock);
    return woken;
}

void session_destroy(PeerSession* session) {
    platform::lock_destroy(&session->console_lock);
    platform::waker_close(&session->wake);
}

void stop_running(PeerSession* session) {
    session->running.store(false, std::memory_order_relaxed);
    platform::waker_signal(&session->wake);
}

void console_write(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void safe_print(PeerSession* session, const char* text) {
    platform::lock_enter(&session->console_lock);
    console_write(text);
    platform::lock_leave(&session->console_lock);
}
