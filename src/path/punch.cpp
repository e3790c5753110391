#include "path/punch.h"

#include <algorithm>
#include <cstdio>

#include "console/events.h"
#include "sockets/sockets.h"
#include "peer/identity.h"
#include "peer/proof.h"
#include "peer/protocol.h"
#include "path/keepalive.h"
#include "path/receiver.h"
#include "secure/secure_link.h"
#include "path/sweep.h"
#include "platform/platform.h"
#include "peer/send.h"
#include "relay/relay.h"
#include "address/address_text.h"
#include "session/session.h"

namespace {

constexpr int kPunchesPerBurst = 10;
constexpr std::uint32_t kBurstPauseMs = 100;
constexpr std::uint32_t kConfirmAfterMs = 2000;
constexpr std::uint64_t kConfirmPackets = 5;
constexpr std::uint32_t kProgressEveryMs = 3000;
constexpr std::uint32_t kTimeoutMs = 60000;
// Each spare socket punches this often, so that its mapping stays open while the peer looks.
constexpr std::uint32_t kSparePunchEveryMs = 5000;
// Sweep punches a round: a round takes at least kBurstPauseMs, which keeps the rate.
constexpr std::size_t kSweepPerRound = kSweepPerSecond * kBurstPauseMs / 1000;

// A port nobody gave has this long after the confirmation's wait to offer a secure session: as
// long as a peer that does not offer at all is given before the chat goes plain.
constexpr std::uint32_t kOfferWaitMs = 3000;

// With a relay, the direct path has this long to open before everything goes through the relay.
constexpr std::uint32_t kRelayAfterMs = 5000;


// Ticks wrap at 2^32; an unsigned difference stays right across the wrap.

std::uint64_t received(const PeerSession* s) {
    return s->run.packets_received.load(std::memory_order_relaxed);
}

// A port learned without proof may carry only a secure session: the connection stands there once
// its sender has offered one.
bool may_confirm(PeerSession* s) {
    return identity_sure(s, peer_endpoint(s)) || (s->secure != nullptr && secure_link_offered(s));
}

// Where the path is, and since when.
struct PathWatch {
    platform::Endpoint at;
    std::uint32_t since;
};

// A port learned without proof whose sender has offered no secure session in time is dropped for
// good, however much or little it sent meanwhile: else a sender that goes quiet would hold the
// place of the peer's port to the end. True when it was.
bool drop_unoffered(PeerSession* s, PathWatch* watch, std::uint32_t now) {
    const platform::Endpoint path = peer_endpoint(s);
    if (!platform::same_endpoint(path, watch->at)) *watch = PathWatch{path, now};
    if (may_confirm(s) || platform::elapsed(now, watch->since) < kConfirmAfterMs + kOfferWaitMs ||
        !identity_drop_learned(s)) {
        return false;
    }
    tell(&s->console, Event::port_not_peer);
    return true;
}

// Every punch to an endpoint of the peer's proves our line, so that a peer given it knows us from
// any port we punch from.
ProvenWord punch_to(const PeerSession* s, const platform::Endpoint& to) {
    return proven_word(s->peer.own_tag, kPunch, to);
}


// A burst to where we send, and until the connection stands the other endpoints as well.
void send_burst(PeerSession* s) {
    const platform::Endpoint to = peer_endpoint(s);
    const ProvenWord punch = punch_to(s, to);
    for (int i = 0; i < kPunchesPerBurst; ++i) send_to_peer(s, punch.bytes, punch.size, false);
    if (s->run.connected.load(std::memory_order_relaxed)) return;
    punch_candidates(s);
    // Where the relay reaches the peer, the direct way is still tried: its answer takes the path
    // off the relay while the path opens.
    if (relay_chosen(s)) platform::send_to(s->sockets.sock, punch.bytes, punch.size, to);
}

// One punch from every spare socket, each opening (or keeping) a mapping of its own.
void punch_from_spares(PeerSession* s) {
    const platform::Endpoint to = peer_endpoint(s);
    const ProvenWord punch = punch_to(s, to);
    for (std::size_t i = 1; i < s->sockets.candidate_count; ++i) {
        platform::send_to(s->sockets.candidates[i], punch.bytes, punch.size, to);
    }
}

// Once the receiver has chosen the socket that hears the peer, the other candidates are of no
// more use.
void close_unchosen(PeerSession* s) {
    if (s->sockets.candidate_count > 0 && s->sockets.settled.load(std::memory_order_acquire)) close_candidates(s);
}

void sweep_round(PeerSession* s, Sweep* sweep, std::uint32_t now) {
    platform::Endpoint to[kSweepPerRound];
    const std::size_t n = sweep_due(sweep, now, to, kSweepPerRound);
    // Bare: a swept port is nobody's we know, and the peer hears us from our typed endpoint anyway.
    for (std::size_t i = 0; i < n; ++i) {
        identity_punched(s, to[i].port);  // before the punch, so that its answer finds it marked
        platform::send_to(s->sockets.sock, kPunch, sizeof kPunch - 1, to[i]);
    }
}

// What natchat knows of why no path opened, and what would help.
void explain_timeout(PeerSession* s) {
    if (received(s) > 0) {
        tell(&s->console, Event::too_few_came);
    } else if (s->found.nat == NatKind::symmetric) {
        tell(&s->console, Event::nothing_symmetric);
    } else {
        tell(&s->console, Event::nothing_came, {.at = s->found.mapped});
    }
}

}  // namespace

namespace {

// Where the punching stands, pass by pass.
struct Punching {
    std::uint32_t start;
    bool ipv4;
    bool sweeps;  // our NAT keeps one mapping for every destination: we sweep the peer's ports
    Sweep sweep;
    std::uint32_t spares_punched;
    bool first_seen;
    std::uint32_t first_packet;
    std::uint32_t last_progress;
    std::uint64_t reported;
    std::int32_t attempts;
    PathWatch watch;
};

void announce_attempt(PeerSession* s) {
    char endpoints[kPeerLineSize];
    PeerLine tried = s->peer.remote;
    tried.tagged = false;  // the endpoints tried; the tag is no address
    format_peer_line(tried, endpoints);
    tell(&s->console, Event::attempting, {.text = endpoints});
}

// True once datagrams have come for long enough, and from where they may; a port that may not
// carry the chat and offers nothing in time is dropped, and counting starts again.
bool confirmed(PeerSession* s, Punching* p, std::uint32_t now) {
    if (received(s) > 0 && !p->first_seen) {
        p->first_seen = true;
        p->first_packet = now;
        tell(&s->console, Event::first_packet);
    } else if (received(s) > 0 && platform::elapsed(now, p->first_packet) >= kConfirmAfterMs &&
               received(s) >= kConfirmPackets && may_confirm(s)) {
        return true;
    }
    if (drop_unoffered(s, &p->watch, now)) {
        s->run.packets_received.store(0, std::memory_order_relaxed);
        p->first_seen = false;
        p->reported = 0;
    }
    return false;
}

// One pass's datagrams: through the relay once the direct way has had its time, a burst, the
// spare sockets' punches when due, and the sweep while nothing has come.
void punch_round(PeerSession* s, Punching* p, std::uint32_t now) {
    if (p->ipv4 && s->relay != nullptr && !relay_chosen(s) && received(s) == 0 &&
        platform::elapsed(now, p->start) >= kRelayAfterMs) {
        relay_choose(s);
    }
    relay_tick(s);
    send_burst(s);
    close_unchosen(s);
    if (s->sockets.candidate_count > 0 && platform::elapsed(now, p->spares_punched) >= kSparePunchEveryMs) {
        punch_from_spares(s);
        p->spares_punched = now;
    }
    if (p->sweeps && received(s) == 0) sweep_round(s, &p->sweep, now);
    ++p->attempts;
}

void report_progress(PeerSession* s, Punching* p, std::uint32_t now) {
    if (platform::elapsed(now, p->last_progress) < kProgressEveryMs) return;
    const auto seconds = static_cast<int>(platform::elapsed(now, p->start) / 1000);
    const std::uint64_t count = received(s);
    if (count > p->reported) {
        tell(&s->console, Event::progress_heard, {.count = count, .number = seconds});
        p->reported = count;
    } else {
        tell(&s->console, Event::progress_punching, {.count = static_cast<std::uint64_t>(p->attempts), .number = seconds});
    }
    p->last_progress = now;
}

// The path stands: keepalives from now on, and the user hears which path it is.
bool announce_connected(PeerSession* s, const PeerLine& peer) {
    // Five datagrams have come, so the receiver has chosen its socket.
    close_unchosen(s);
    if (!platform::thread_start(&s->workers.keepalive, keepalive_loop, s)) {
        tell(&s->console, Event::thread_failed, {.text = "keepalive"});
        return false;
    }
    // The chat begins, and says which path, under the console lock: the receiver moves the path on
    // or off the relay and tells of it under it too.
    platform::lock_enter(&s->console.lock);
    s->run.connected.store(true);
    if (relay_chosen(s)) {
        tell_locked(&s->console, Event::connected_relay, {.at = s->relayed});
    } else if (peer.count > 1) {  // a peer line: which of its paths
        const platform::Endpoint to = peer_endpoint(s);
        tell_locked(&s->console, Event::connected_over, {.at = to, .path = path_kind(s, to)});
    }
    tell_locked(&s->console, Event::established);
    platform::lock_leave(&s->console.lock);
    return true;
}

}  // namespace

void punch_candidates(PeerSession* s) {
    // Through the relay too: a direct path that opens takes over from it.
    if (s->peer.remote.count < 2) return;
    const platform::Endpoint now = peer_endpoint(s);
    for (std::size_t i = 0; i < s->peer.remote.count; ++i) {
        const platform::Endpoint& to = s->peer.remote.candidates[i];
        const ProvenWord punch = punch_to(s, to);
        if (!platform::same_endpoint(to, now)) platform::send_to(s->sockets.sock, punch.bytes, punch.size, to);
    }
}

bool connect_to_peer(PeerSession* s, const PeerLine& peer) {
    identity_begin(s, peer);
    if (identity_early_relay(s, peer)) relay_admit(s, s->peer.typed);
    announce_attempt(s);
    s->run.packets_received.store(0, std::memory_order_relaxed);
    s->run.last_heard.store(platform::tick_ms(), std::memory_order_relaxed);
    // Behind a symmetric NAT our typed address is of no use to the peer: many sockets punch
    // instead, and the peer's sweep may hit one of their mappings. A NAT known to keep one mapping
    // for every destination lets the peer's answer to a sweep punch in, so that side sweeps.
    if (s->found.nat == NatKind::symmetric) open_candidates(s);
    if (!platform::thread_start(&s->workers.receiver, receive_loop, s)) {
        tell(&s->console, Event::thread_failed, {.text = "receiver"});
        return false;
    }
    const std::uint32_t start = platform::tick_ms();
    const bool ipv4 = !s->peer.typed.v6;
    Punching p{start, ipv4, ipv4 && (s->found.nat == NatKind::cone || s->found.nat == NatKind::none), {},
               start - kSparePunchEveryMs, false, 0, 0, 0, 0, PathWatch{s->peer.typed, start}};
    std::uint32_t random = 0;
    platform::random_bytes(&random, sizeof random);
    sweep_begin(&p.sweep, s->peer.typed.ip, start, random);

    while (chat_goes_on(s)) {
        const std::uint32_t now = platform::tick_ms();
        if (confirmed(s, &p, now)) {
            return announce_connected(s, peer);
        }
        punch_round(s, &p, now);
        platform::sleep_ms(kBurstPauseMs);
        report_progress(s, &p, now);
        if (platform::elapsed(now, start) > kTimeoutMs) {
            tell(&s->console, Event::timed_out);
            explain_timeout(s);
            return false;
        }
    }
    return false;
}
