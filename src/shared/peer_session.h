// The one session record that every thread of natchat shares, and the locked console output.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "shared/address_text.h"

struct SecureLink;
struct Relay;

// What the user was last told about the peer.
enum class Presence { present, silent, left };

// How our own NAT maps the socket, as the STUN servers saw it.
enum class NatKind {
    unknown,    // only one server answered
    none,       // the mapped address is our own
    cone,       // one mapping for every destination
    symmetric,  // a new mapping for each destination
};

// Behind a symmetric NAT the session's socket and this many more punch, each through a mapping
// of its own.
inline constexpr std::size_t kSpareSockets = 256;

// Text on its way to standard output. The console writer owns the output, and everyone else
// only adds here, so a console that takes nothing for a while (Ctrl+S, a selection in a Windows
// console, a pipe nobody reads) never holds up the network: keepalives, acknowledgements and
// resends go on, and the text follows in order once the console moves again. The queue holds
// a few thousand of the longest lines, so a stall of a minute loses nothing; beyond that,
// rather than grow without end or make the network wait, what comes is dropped whole until the
// writer takes the queue, and a notice then says how much.
inline constexpr std::size_t kConsoleQueueLimit = 8u << 20;

struct ConsoleQueue {
    std::string text;
    std::size_t limit = kConsoleQueueLimit;
    std::size_t dropped = 0;  // texts dropped since the writer last took the queue
    bool writer = false;      // a writer takes the text; without one, it is written at once
};

// Adds `text` whole, or drops it whole at the limit (false).
bool console_queue_add(ConsoleQueue* queue, const char* text);

// Moves everything queued into `out` (emptied first), with the notice of what was dropped.
void console_queue_take(ConsoleQueue* queue, std::string* out);

struct PeerSession {
    // Where everything is sent from and received on. Only the receiver changes it, while the
    // path opens: to the first of the spare sockets that hears the peer.
    std::atomic<platform::Socket> sock;
    std::uint16_t local_port;
    char local_ip[64];     // LAN address as dotted text, or "unknown"
    char public_ip[64];    // as the STUN server reported it
    std::uint16_t public_port;
    platform::Endpoint public6;  // as a STUN server saw us over IPv6; port 0 when none did
    platform::Endpoint stun_server;  // where that report came from
    NatKind nat;
    // Who the peer is (peer/identity.h): the endpoints the user gave, the one typed among them (the
    // first IPv4 one), and where every datagram to the peer goes (peer_endpoint), which starts there
    // and moves only as the peer's own datagrams allow.
    PeerLine remote;
    platform::Endpoint typed_addr;
    platform::Endpoint peer_addr;  // under `peer_lock`
    platform::Lock peer_lock;
    bool on_other_candidate;  // the receiver's own: the path went to another endpoint the user gave
    std::atomic<std::uint32_t> path_heard;  // tick of the latest datagram from where we send
    // The receiver's own: something came from the typed address; the port of the latest punch
    // from another port of the peer's address (-1: none yet); which of the peer's LAN endpoints
    // have proven themselves.
    bool heard_typed;
    std::int32_t learning_port;
    bool lan_proven[kMaxCandidates];
    bool typed_told;  // the user knows that the typed address speaks while the peer is elsewhere
    // Ports of the peer's address, a bit each: those that our sweep punched (only an answer from
    // one of them may teach us a port nobody typed, unless it proves itself), and those dropped
    // for offering no secure session (never learned again). The main thread sets bits, the
    // receiver reads them.
    std::atomic<std::uint32_t> punched[65536 / 32];
    std::atomic<std::uint32_t> barred[65536 / 32];
    std::uint8_t own_tag[kLineTagSize];  // this run's, in our peer line
    bool secure_only;            // never send or show plain text
    std::atomic<bool> agreed;    // a secure session holds: only its records move the peer
    // Behind a symmetric NAT, `sock` and the spares: while the path opens the receiver listens on
    // all of them, until one hears the peer and becomes `sock`; it then sets `settled`, and from
    // that moment only the main thread touches the list.
    platform::Socket candidates[kSpareSockets + 1];
    std::size_t candidate_count;
    std::atomic<bool> settled;
    platform::Thread recv_thread;
    platform::Thread keepalive_thread;
    platform::Waker wake;  // signalled once, when `running` clears: the workers sleep on it
    SecureLink* secure;    // the private, lossless chat over the link
    // The TURN allocation, when there is one (relay/relay.h), and the address it relays at.
    Relay* relay;
    platform::Endpoint relayed;
    platform::Socket relay_sock;  // the socket the allocation belongs to: kept open to the end
    // Shared between threads without a lock: `running` has one writer (the main thread, or an
    // interrupt standing in for it), `connected` only ever goes to true, the counters have one
    // writer each while the receiver runs. Relaxed atomics are all that is needed.
    std::atomic<bool> running;
    std::atomic<bool> connected;
    std::atomic<bool> interrupted;
    std::atomic<std::uint64_t> packets_received;   // from the peer's address
    std::atomic<std::uint64_t> strangers_dropped;  // from anywhere else
    std::atomic<std::uint32_t> last_heard;        // tick of the peer's latest datagram
    std::atomic<Presence> presence;
    std::atomic<bool> failed;  // a worker could not go on: the chat ends, with exit code 1
    // Guards the console queue, and what the user was told about the peer along with its notice.
    platform::Lock console_lock;
    ConsoleQueue console;
    platform::Thread console_thread;
    platform::Waker console_wake;  // a nudge: text waits; the stop signal: write the rest, end
};

// Empty texts, ports 0, no threads, nothing counted, running and not connected, a new tag; then
// the waker and the lock. False when the tag or the waker cannot be made (nothing is held then).
bool session_init(PeerSession* session);
void session_destroy(PeerSession* session);

// Where every datagram to the peer goes now, and moving it.
platform::Endpoint peer_endpoint(PeerSession* session);
void set_peer_endpoint(PeerSession* session, const platform::Endpoint& to);
// Moves it to `to` only while it is still `expected`; true when it did.
bool swap_peer_endpoint(PeerSession* session, const platform::Endpoint& expected, const platform::Endpoint& to);

// Clears `running` and wakes the workers; safe from a signal handler.
void stop_running(PeerSession* session);

// Starts the console writer: from then on every print goes through the queue. False, having
// said so, when its thread cannot start.
bool console_start(PeerSession* session);

// Has the writer write what is queued and end, within `limit_ms`; true when it has ended (or
// never started). Once it has, prints are written at once again.
bool console_stop(PeerSession* session, std::uint32_t limit_ms);

// Hands `text`, exactly as it stands (a '%' is just a character), to the console whole: to the
// writer when it runs, else written and flushed at once under the lock.
void safe_print(PeerSession* session, const char* text);

// safe_print of a formatted text (at most 1023 bytes).
[[gnu::format(printf, 2, 3)]] void safe_printf(PeerSession* session, const char* format, ...);

// safe_print for a caller that holds the console lock already.
void console_write(PeerSession* session, const char* text);

inline bool is_running(const PeerSession* s) { return s->running.load(std::memory_order_relaxed); }

// The user may still type: nothing has ended the program, the input or a worker.
inline bool chat_goes_on(const PeerSession* s) {
    return is_running(s) && !s->interrupted.load(std::memory_order_relaxed) &&
           !s->failed.load(std::memory_order_relaxed);
}
