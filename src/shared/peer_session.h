// The one session record that every thread of natchat shares, and the locked console output.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

struct SecureLink;

// What the user was last told about the peer.
enum class Presence { present, silent, left };

struct PeerSession {
    platform::Socket sock;
    std::uint16_t local_port;
    char local_ip[64];     // LAN address as dotted text, or "unknown"
    char public_ip[64];    // as the STUN server reported it
    std::uint16_t public_port;
    platform::Endpoint stun_server;  // where that report came from
    platform::Endpoint peer_addr;    // where every datagram to the peer goes
    platform::Thread recv_thread;
    platform::Thread keepalive_thread;
    platform::Waker wake;  // signalled once, when `running` clears: the workers sleep on it
    SecureLink* secure;    // the private, lossless chat over the link
    // Shared between threads without a lock: `running` has one writer (the main thread, or an
    // interrupt standing in for it), `connected` only ever goes to true, the counters have one
    // writer each while the receiver runs. Relaxed atomics are all that is needed.
    std::atomic<bool> running;
    std::atomic<bool> connected;
    std::atomic<bool> interrupted;
    std::atomic<std::int32_t> packets_received;   // from the peer's address
    std::atomic<std::int32_t> strangers_dropped;  // from anywhere else
    std::atomic<std::uint32_t> last_heard;        // tick of the peer's latest datagram
    std::atomic<Presence> presence;
    platform::Lock console_lock;
};

// Empty texts, ports 0, no threads, nothing counted, running and not connected; then the waker
// and the lock. False when the waker cannot be made (nothing is held then).
bool session_init(PeerSession* session);
void session_destroy(PeerSession* session);

// Clears `running` and wakes the workers; safe from a signal handler.
void stop_running(PeerSession* session);

// Writes `text` exactly as it stands (a '%' is just a character) and flushes, under the lock,
// so a message from a worker thread always reaches the console whole.
void safe_print(PeerSession* session, const char* text);

// The same for a caller that holds the console lock already.
void console_write(const char* text);

inline bool is_running(const PeerSession* s) { return s->running.load(std::memory_order_relaxed); }
