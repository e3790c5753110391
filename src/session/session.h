// The one session record that every thread of natchat shares, nested by who owns each part.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "address/address_text.h"
#include "console/output.h"

struct SecureLink;
struct Relay;
struct PortMap;

// What the user was last told about the peer.
enum class Presence { present, silent, left };


// Behind a symmetric NAT the session's socket and this many more punch, each through a mapping
// of its own.
inline constexpr std::size_t kSpareSockets = 256;

// What start-up learned of this side. The main thread writes it once, before any worker starts;
// afterwards everyone only reads it.
struct Discovered {
    platform::Endpoint lan;          // our LAN address and the socket's port; address 0 when unknown
    platform::Endpoint mapped;       // as the STUN servers saw us (IPv4 unless only IPv6 ones answered); port 0 when none did
    platform::Endpoint public6;      // as a STUN server saw us over IPv6; port 0 when none did
    platform::Endpoint stun_server;  // where the IPv4 report came from
    NatKind nat;
    platform::Endpoint portmapped;   // our router's mapping, when the STUN servers saw its address; port 0 when none
    std::uint8_t portmap_kind;       // how it was had (portmap/portmap.h's MapKind)
};

// Where everything is sent from and received on. While the path opens the receiver owns it:
// behind a symmetric NAT it listens on `sock` and all the spares until one hears the peer and
// becomes `sock`, then sets `settled`; from that moment only the main thread touches the list.
struct Sockets {
    std::atomic<platform::Socket> sock;
    platform::Socket candidates[kSpareSockets + 1];
    std::size_t candidate_count;
    std::atomic<bool> settled;
};

// What the receiver alone learns about the peer's endpoints while the path opens.
struct Learned {
    bool on_other_candidate;  // the path went to another endpoint the user gave
    bool heard_typed;         // something came from the typed address
    std::int32_t learning_port;  // the port of the latest punch from another port of the peer's address; -1: none
    bool lan_proven[kMaxCandidates];  // which of the peer's LAN endpoints have proven themselves
    bool typed_told;  // the user knows that the typed address speaks while the peer is elsewhere
    bool heard_direct;  // a datagram of the peer's came other than through our relay
    std::uint32_t direct_at;  // tick of the latest one directly that proved itself the peer's
};

// Who the peer is (peer/identity.h): the endpoints the user gave, the one typed among them (the
// first IPv4 one), and where every datagram to the peer goes (`at`, under `lock`), which starts
// there and moves only as the peer's own datagrams allow.
struct Peer {
    PeerLine remote;
    platform::Endpoint typed;
    platform::Lock lock;
    platform::Endpoint at;
    std::atomic<std::uint32_t> path_heard;  // tick of the latest datagram from where we send
    Learned learned;
    // Ports of the peer's address, a bit each: those that our sweep punched (only an answer from
    // one of them may teach us a port nobody typed, unless it proves itself), and those dropped
    // for offering no secure session (never learned again). The main thread sets bits, the
    // receiver reads them.
    std::atomic<std::uint32_t> punched[65536 / 32];
    std::atomic<std::uint32_t> barred[65536 / 32];
    std::uint8_t own_tag[kLineTagSize];  // this run's, in our peer line
    bool secure_only;                    // never send or show plain text
    std::atomic<bool> agreed;            // a secure session holds: only its records move the peer
};

// How the chat goes, shared by every thread without a lock: `running` has one writer (the main
// thread, or an interrupt standing in for it), `connected` only ever goes to true, the counters
// have one writer each while the receiver runs. Relaxed atomics are all that is needed.
struct RunState {
    std::atomic<bool> running;
    std::atomic<bool> connected;
    std::atomic<bool> interrupted;
    std::atomic<bool> failed;  // a worker could not go on: the chat ends, with exit code 1
    platform::Waker wake;      // signalled once, when `running` clears: the workers sleep on it
    std::atomic<std::uint64_t> packets_received;   // from the peer's address
    std::atomic<std::uint64_t> strangers_dropped;  // from anywhere else
    std::atomic<std::uint32_t> last_heard;         // tick of the peer's latest datagram
    // What the user was last told about the peer: changed only under the console's lock, along
    // with its notice.
    std::atomic<Presence> presence;
};

struct Workers {
    platform::Thread receiver;
    platform::Thread keepalive;
};

// Everything one chat holds, nested by owner.
struct PeerSession {
    Sockets sockets;
    Discovered found;
    Peer peer;
    RunState run;
    Workers workers;
    Console console;
    SecureLink* secure;  // the private, lossless chat over the path
    // The TURN allocation, when there is one (relay/relay.h), the address it relays at, and the
    // socket it belongs to: kept open to the end.
    Relay* relay;
    platform::Endpoint relayed;
    platform::Socket relay_sock;
    PortMap* portmap;  // our router's mapping and what asks for it (portmap/portmap.h), when asked
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

inline bool is_running(const PeerSession* s) { return s->run.running.load(std::memory_order_relaxed); }

// The user may still type: nothing has ended the program, the input or a worker.
inline bool chat_goes_on(const PeerSession* s) {
    return is_running(s) && !s->run.interrupted.load(std::memory_order_relaxed) &&
           !s->run.failed.load(std::memory_order_relaxed);
}
