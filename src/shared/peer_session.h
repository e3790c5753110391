// The one session record that every thread of natchat shares, and the locked console output.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

struct PeerSession {
    platform::Socket sock;
    std::uint16_t local_port;
    char local_ip[64];     // LAN address as dotted text, or "unknown"
    char public_ip[64];    // as the STUN server reported it
    std::uint16_t public_port;
    platform::Endpoint peer_addr;  // where every datagram to the peer goes
    platform::Thread recv_thread;
    platform::Thread keepalive_thread;
    // Shared between threads without a lock: `running` has one writer (the main thread),
    // `connected` only ever goes to true, and `packets_received` has one writer while the
    // receiver runs. Relaxed atomics are all that is needed.
    std::atomic<bool> running;
    std::atomic<bool> connected;
    std::atomic<std::int32_t> packets_received;
    platform::Lock console_lock;
};

// Empty texts, ports 0, no threads, nothing counted, running and not connected; then the lock.
void session_init(PeerSession* session);
void session_destroy(PeerSession* session);

// Writes `text` exactly as it stands (a '%' is just a character) and flushes, under the lock,
// so a message from the receiver thread always reaches the console whole.
void safe_print(PeerSession* session, const char* text);

inline bool is_running(const PeerSession* s) { return s->running.load(std::memory_order_relaxed); }
