#include "shared/peer_session.h"

#include <cstdarg>
#include <cstdio>

bool session_init(PeerSession* session) {
    session->sock = platform::kInvalidSocket;
    session->local_port = 0;
    session->local_ip[0] = '\0';
    session->public_ip[0] = '\0';
    session->public_port = 0;
    session->stun_server = platform::Endpoint{0, 0};
    session->nat = NatKind::unknown;
    session->public6 = platform::Endpoint{0, 0};
    session->remote = PeerLine{};
    session->typed_addr = platform::Endpoint{0, 0};
    session->peer_addr = platform::Endpoint{0, 0};
    session->on_other_candidate = false;
    session->path_heard.store(0, std::memory_order_relaxed);
    session->heard_typed = false;
    session->learning_port = -1;
    for (bool& proven : session->lan_proven) proven = false;
    for (auto& bits : session->punched) bits.store(0, std::memory_order_relaxed);
    for (auto& bits : session->barred) bits.store(0, std::memory_order_relaxed);
    // A tag anyone could guess would let anyone prove to be us.
    if (!platform::random_bytes(session->own_tag, sizeof session->own_tag)) return false;
    session->secure_only = false;
    session->agreed.store(false, std::memory_order_relaxed);
    session->candidate_count = 0;
    session->settled.store(false, std::memory_order_relaxed);
    session->recv_thread = platform::Thread{nullptr};
    session->keepalive_thread = platform::Thread{nullptr};
    session->console_thread = platform::Thread{nullptr};
    session->console = ConsoleQueue{};
    session->secure = nullptr;
    session->relay = nullptr;
    session->relay_sock = platform::kInvalidSocket;
    session->relayed = platform::Endpoint{0, 0};
    session->running.store(true, std::memory_order_relaxed);
    session->connected.store(false, std::memory_order_relaxed);
    session->interrupted.store(false, std::memory_order_relaxed);
    session->failed.store(false, std::memory_order_relaxed);
    session->packets_received.store(0, std::memory_order_relaxed);
    session->strangers_dropped.store(0, std::memory_order_relaxed);
    session->last_heard.store(0, std::memory_order_relaxed);
    session->presence.store(Presence::present, std::memory_order_relaxed);
    if (!platform::waker_open(&session->wake)) return false;
    if (!platform::waker_open(&session->console_wake)) {
        platform::waker_close(&session->wake);
        return false;
    }
    platform::lock_init(&session->console_lock);
    platform::lock_init(&session->peer_lock);
    return true;
}

void session_destroy(PeerSession* session) {
    platform::lock_destroy(&session->peer_lock);
    platform::lock_destroy(&session->console_lock);
    platform::waker_close(&session->console_wake);
    platform::waker_close(&session->wake);
}

platform::Endpoint peer_endpoint(PeerSession* s) {
    platform::lock_enter(&s->peer_lock);
    const platform::Endpoint to = s->peer_addr;
    platform::lock_leave(&s->peer_lock);
    return to;
}

void set_peer_endpoint(PeerSession* s, const platform::Endpoint& to) {
    platform::lock_enter(&s->peer_lock);
    s->peer_addr = to;
    platform::lock_leave(&s->peer_lock);
}

bool swap_peer_endpoint(PeerSession* s, const platform::Endpoint& expected, const platform::Endpoint& to) {
    platform::lock_enter(&s->peer_lock);
    const bool still = platform::same_endpoint(s->peer_addr, expected);
    if (still) s->peer_addr = to;
    platform::lock_leave(&s->peer_lock);
    return still;
}

void stop_running(PeerSession* session) {
    session->running.store(false, std::memory_order_relaxed);
    platform::waker_signal(&session->wake);
}

bool console_queue_add(ConsoleQueue* queue, const char* text) {
    const std::size_t size = std::char_traits<char>::length(text);
    // Once one text is dropped, so is everything after it until the writer takes the queue:
    // the notice then stands where the gap is.
    if (queue->dropped > 0 || queue->text.size() + size > queue->limit) {
        ++queue->dropped;
        return false;
    }
    queue->text.append(text, size);
    return true;
}

void console_queue_take(ConsoleQueue* queue, std::string* out) {
    out->clear();
    out->swap(queue->text);
    if (queue->dropped == 0) return;
    char notice[128];
    std::snprintf(notice, sizeof notice,
                  "\n[%zu messages were not shown: the console took no output for too long]\n> ",
                  queue->dropped);
    out->append(notice);
    queue->dropped = 0;
}

namespace {

int console_loop(void* arg) {
    auto* s = static_cast<PeerSession*>(arg);
    std::string batch;
    for (bool stopping = false;;) {
        platform::lock_enter(&s->console_lock);
        console_queue_take(&s->console, &batch);
        // Ends only with nothing left, and hands the console back under the same lock.
        if (batch.empty() && stopping) s->console.writer = false;
        platform::lock_leave(&s->console_lock);
        if (!batch.empty()) {
            platform::write_out(batch.data(), batch.size());  // nothing to do when it fails
        } else if (stopping) {
            return 0;
        } else {
            stopping = platform::wait_stop(&s->console_wake, platform::kForever);
        }
    }
}

}  // namespace

bool console_start(PeerSession* s) {
    std::fflush(stdout);  // what was printed before comes first
    s->console.writer = true;
    if (platform::thread_start(&s->console_thread, console_loop, s)) return true;
    s->console.writer = false;
    std::printf("Could not start the console thread\n");
    std::fflush(stdout);
    return false;
}

bool console_stop(PeerSession* s, std::uint32_t limit_ms) {
    platform::waker_signal(&s->console_wake);
    const bool ended = platform::thread_wait(s->console_thread, limit_ms);
    platform::thread_close(&s->console_thread);
    return ended;
}

void console_write(PeerSession* s, const char* text) {
    if (!s->console.writer) {
        std::fputs(text, stdout);
        std::fflush(stdout);
        return;
    }
    // The writer only sleeps once it found the queue empty: a nudge is needed only then.
    const bool idle = s->console.text.empty();
    console_queue_add(&s->console, text);
    if (idle) platform::waker_nudge(&s->console_wake);
}

void safe_print(PeerSession* s, const char* text) {
    platform::lock_enter(&s->console_lock);
    console_write(s, text);
    platform::lock_leave(&s->console_lock);
}

void safe_printf(PeerSession* s, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    safe_print(s, text);
}
