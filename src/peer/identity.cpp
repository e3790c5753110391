#include "peer/identity.h"

#include <algorithm>
#include <cstdio>

#include "bytes/byte_order.h"
#include "relay/relay.h"
#include "address/address_text.h"
#include "session/session.h"
#include "stun/message.h"

namespace {

bool from_stun_server(const PeerSession* s, const std::uint8_t* data, std::size_t size,
                      platform::Endpoint from) {
    // The magic cookie stands at byte 4 of every STUN message.
    return size >= 8 && platform::same_endpoint(from, s->found.stun_server) &&
           read32(data + 4) == kMagicCookie;
}

// Once: whoever the session is with, the codes will show it.
void tell_typed_speaks(PeerSession* s) {
    if (s->peer.learned.typed_told) return;
    s->peer.learned.typed_told = true;
    tell(&s->console, Event::typed_speaks, {.at = s->peer.typed});
}

bool bit_of(const std::atomic<std::uint32_t>* bits, std::uint16_t port) {
    return (bits[port / 32].load(std::memory_order_relaxed) >> (port % 32) & 1) != 0;
}

void set_bit(std::atomic<std::uint32_t>* bits, std::uint16_t port) {
    bits[port / 32].fetch_or(std::uint32_t{1} << (port % 32), std::memory_order_relaxed);
}

int candidate_index(const PeerSession* s, const platform::Endpoint& e) {
    for (std::size_t i = 0; i < s->peer.remote.count; ++i) {
        if (platform::same_endpoint(s->peer.remote.candidates[i], e)) return static_cast<int>(i);
    }
    return -1;
}

// Behind one NAT with the peer: its endpoints on our public address are all on our network.
bool one_nat(const PeerSession* s) {
    const platform::Endpoint& own = s->found.mapped;
    return own.port != 0 && platform::same_address(own, s->peer.typed);
}

// The peer's router's mapping: a further endpoint of the line on the typed address, unless we
// share that address.
bool is_mapped(const PeerSession* s, const platform::Endpoint& e) {
    return !e.v6 && candidate_index(s, e) >= 0 && platform::same_address(e, s->peer.typed) &&
           e.port != s->peer.typed.port && !one_nat(s);
}

// The peer's relayed address, kept from its line.
bool is_relayed(const PeerSession* s, const platform::Endpoint& e) {
    return s->peer.remote.relayed.port != 0 && platform::same_endpoint(e, s->peer.remote.relayed);
}

// A further IPv4 endpoint of the peer line: on the peer's own network.
bool is_lan(const PeerSession* s, int index) {
    const platform::Endpoint& e = s->peer.remote.candidates[index];
    return !e.v6 && !platform::same_endpoint(e, s->peer.typed) && !is_mapped(s, e) && !is_relayed(s, e);
}

// When both sides have a relay, the chat needs one: the lower relayed address's. The peer's is
// punched only when it is that one (or ours is none), ours lets the peer in early only then.
bool peer_relay_wins(const platform::Endpoint& peers, const platform::Endpoint& ours) {
    return peers.port != 0 && (ours.port == 0 || peers.ip < ours.ip || (peers.ip == ours.ip && peers.port < ours.port));
}

}  // namespace

void identity_begin(PeerSession* s, const PeerLine& given) {
    const PeerLine line = given;  // which may be the session's own
    // The typed endpoint: the first IPv4 one, or the first of all.
    std::size_t typed = 0;
    while (typed + 1 < line.count && line.candidates[typed].v6) ++typed;
    s->peer.typed = line.candidates[line.candidates[typed].v6 ? 0 : typed];
    // The peer's LAN endpoints are worth a punch only when it shares our public address: elsewhere
    // the same private numbers name some host on our own LAN. Even then they count only once
    // proven: behind a carrier-grade NAT, strangers share our public address too.
    const bool shared = one_nat(s);
    s->peer.remote.count = 0;
    s->peer.remote.tagged = line.tagged;
    std::copy(line.tag, line.tag + kLineTagSize, s->peer.remote.tag);
    for (std::size_t i = 0; i < line.count; ++i) {
        const platform::Endpoint& e = line.candidates[i];
        if (e.v6 || shared || platform::same_address(e, s->peer.typed)) s->peer.remote.candidates[s->peer.remote.count++] = e;
    }
    // Behind one NAT the relay is no use; else it is punched like the rest, and ranks last.
    const bool relay = !shared && !s->peer.typed.v6 && peer_relay_wins(line.relayed, s->relayed) &&
                       s->peer.remote.count < kMaxCandidates;
    s->peer.remote.relayed = relay ? line.relayed : platform::Endpoint{0, 0};
    if (relay) s->peer.remote.candidates[s->peer.remote.count++] = line.relayed;
    set_peer_endpoint(s, s->peer.typed);
    s->peer.path_heard.store(platform::tick_ms());
    s->peer.learned.heard_typed = false;
    s->peer.learned.typed_told = false;
    s->peer.learned.learning_port = -1;
    for (bool& proven : s->peer.learned.lan_proven) proven = false;
    s->peer.learned.on_other_candidate = false;
}

int path_rank(const PeerSession* s, const platform::Endpoint& to) {
    if (to.v6) return 1;
    // The peer's router takes datagrams from anyone there, whatever its NAT's kind. When both
    // routers map, only one side moves up to the other's mapping: our datagrams there leave by
    // another port of ours than our own mapping, which the peer then takes as the path; were both
    // to move, each would send by one conntrack entry and hear by the other.
    const platform::Endpoint& own = s->found.portmapped;
    const bool ours_lower = own.ip < to.ip || (own.ip == to.ip && own.port < to.port);
    // A relay server may sit on the peer's own public address: its port is no router's mapping.
    if (is_relayed(s, to)) return 4;
    if (is_mapped(s, to)) return own.port == 0 || ours_lower ? 2 : 3;
    return candidate_index(s, to) >= 0 && !platform::same_endpoint(to, s->peer.typed) ? 0 : 3;
}

PathMove identity_path(PeerSession* s, DatagramKind kind, bool opened, platform::Endpoint from) {
    const platform::Endpoint now = peer_endpoint(s);
    if (const int i = candidate_index(s, from); opened && i >= 0) s->peer.learned.lan_proven[i] = true;
    const bool answered = kind == DatagramKind::punch_ack;
    // Where we send has gone quiet: whichever endpoint of the peer's answers will do.
    const bool quiet = platform::elapsed(platform::tick_ms(), s->peer.path_heard.load()) >= kPathQuietMs;
    const bool up = path_rank(s, from) < path_rank(s, now) && (s->run.connected.load() ? opened : answered);
    // Nothing at all has come from the typed endpoint where we still send: the peer's relay, ranked
    // last, takes the path when it answers our punch. (Not so a router's mapping that ranks as
    // low as the typed endpoint: only one side may move there.)
    const bool unheard = answered && is_relayed(s, from) && !s->peer.learned.heard_typed &&
                         platform::same_endpoint(now, s->peer.typed);
    if (candidate_index(s, from) < 0 || !(up || unheard || (quiet && (answered || opened)))) {
        return PathMove::stay;
    }
    set_peer_endpoint(s, from);
    s->peer.path_heard.store(platform::tick_ms());
    const bool learned = candidate_index(s, now) < 0;
    s->peer.learned.on_other_candidate = !platform::same_endpoint(from, s->peer.typed);
    // From our relay to the peer's is no direct path.
    const bool direct = relay_chosen(s) && !is_relayed(s, from);
    relay_leave(s);
    if (s->run.connected.load()) {
        tell(&s->console, direct ? Event::relay_left : Event::path_moved, {.at = from, .path = path_kind(s, from)});
    }
    return learned ? PathMove::from_learned : PathMove::moved;
}

PathKind path_kind(const PeerSession* s, const platform::Endpoint& to) {
    static constexpr PathKind kKinds[] = {PathKind::lan, PathKind::ipv6, PathKind::ipv4, PathKind::ipv4,
                                          PathKind::relay};
    return kKinds[path_rank(s, to)];
}

bool identity_early_relay(const PeerSession* s, const PeerLine& line) {
    return s->relayed.port != 0 && line.tagged && !s->peer.typed.v6 && !one_nat(s) &&
           !peer_relay_wins(line.relayed, s->relayed);
}

void identity_punched(PeerSession* s, std::uint16_t port) { set_bit(s->peer.punched, port); }

bool identity_gave(const PeerSession* s, const platform::Endpoint& from) {
    return platform::same_endpoint(from, s->peer.typed) || (from.v6 && candidate_index(s, from) >= 0);
}

bool identity_plain(const PeerSession* s, const platform::Endpoint& from) {
    return !s->peer.remote.tagged && identity_gave(s, from);
}

platform::Endpoint identity_addressed(const PeerSession* s, const platform::Endpoint& from, bool relayed) {
    if (relayed) return s->relayed;
    if (from.v6) return s->found.public6;
    const int i = candidate_index(s, from);
    if (i >= 0 && is_lan(s, i)) return s->found.lan.ip != 0 ? s->found.lan : platform::Endpoint{0, 0};
    return s->found.mapped;
}

bool identity_sure(const PeerSession* s, const platform::Endpoint& to) {
    return candidate_index(s, to) >= 0 || s->peer.remote.tagged;
}

bool identity_may_bind(PeerSession* s, const platform::Endpoint& from, bool proven) {
    // Given a tagged line the path reaches nothing but the line's endpoints and ports that proved
    // it; a proof may fail to hold there only for want of knowing our own endpoint that it was
    // sent to (our mapping toward a peer on the same carrier-grade NAT).
    return !s->peer.remote.tagged || proven || identity_gave(s, from) ||
           platform::same_endpoint(from, peer_endpoint(s));
}

bool identity_drop_learned(PeerSession* s) {
    const platform::Endpoint now = peer_endpoint(s);
    // Unless the receiver has moved the path meanwhile.
    if (identity_sure(s, now) || !swap_peer_endpoint(s, now, s->peer.typed)) return false;
    set_bit(s->peer.barred, now.port);
    s->peer.path_heard.store(platform::tick_ms());
    return true;
}

Claim identity_judge(PeerSession* s, const std::uint8_t* data, std::size_t size, platform::Endpoint from,
                     bool proven) {
    // A second answer of the STUN server is no chat line, even when the peer sits there too.
    if (from_stun_server(s, data, size, from)) return Claim::stranger;
    const bool typed = platform::same_endpoint(from, s->peer.typed);
    if (platform::same_endpoint(from, peer_endpoint(s))) {
        if (typed) s->peer.learned.heard_typed = true;
        return Claim::peer;
    }
    if (const int i = candidate_index(s, from); !typed && i >= 0) {
        if (is_lan(s, i) && !s->peer.learned.lan_proven[i] && !proven) return Claim::unproven;
        if (is_lan(s, i)) s->peer.learned.lan_proven[i] = true;
        return Claim::candidate;
    }
    if (!platform::same_address(from, s->peer.typed)) return Claim::stranger;
    if (!typed) return Claim::other_port;
    if (s->peer.learned.on_other_candidate) {
        // The peer on its typed path while we send on another one the user gave.
        s->peer.learned.heard_typed = true;
        return Claim::candidate;
    }
    if (s->peer.agreed.load()) {
        tell_typed_speaks(s);
        return Claim::other_port;
    }
    s->peer.learned.heard_typed = true;
    identity_move(s, from);
    return Claim::typed_again;
}

bool identity_learn(PeerSession* s, DatagramKind kind, platform::Endpoint from, bool relayed,
                    bool proven) {
    const bool punching = kind == DatagramKind::punch || kind == DatagramKind::punch_ack;
    // Learned once: a port already learned is not given up to whoever else our sweep punched.
    const bool learning = !s->peer.learned.heard_typed && !s->peer.agreed.load() && !bit_of(s->peer.barred, from.port) &&
                          platform::same_endpoint(peer_endpoint(s), s->peer.typed);
    if (!learning) return false;
    // The peer's line says who it is: only a datagram that proves it teaches us its port.
    if (s->peer.remote.tagged && !proven) return false;
    if (!s->peer.remote.tagged) {
        if (!punching || !(relayed || bit_of(s->peer.punched, from.port))) return false;
        // Two in a row: behind a symmetric NAT the peer punches once from each of many sockets
        // before it keeps one.
        const std::int32_t before = s->peer.learned.learning_port;
        s->peer.learned.learning_port = from.port;
        if (before != from.port) return false;
    }
    identity_move(s, from);
    return true;
}

void identity_move(PeerSession* s, platform::Endpoint to) {
    set_peer_endpoint(s, to);
    s->peer.path_heard.store(platform::tick_ms());
    s->peer.learned.on_other_candidate = false;
    tell(&s->console, Event::port_learned, {.count = s->run.connected.load() ? 1u : 0u, .number = to.port});
}
