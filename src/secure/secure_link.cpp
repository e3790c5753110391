#include "secure/secure_link.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "bytes/byte_order.h"
#include "console/events.h"
#include "sockets/sockets.h"
#include "peer/identity.h"
#include "peer/proof.h"
#include "peer/protocol.h"
#include "peer/send.h"
#include "relay/relay.h"
#include "session/session.h"

namespace {

// The offer goes again soon, as one lost on the way would hold up the first lines typed, and then
// ever less often, up to kOfferEveryMs, so that a far peer is not flooded before it can answer.
constexpr std::uint32_t kOfferFirstMs = 25;
constexpr std::uint32_t kOfferEveryMs = 500;
constexpr std::uint32_t kPlainAfterMs = 3000;    // without a sign from the peer
constexpr std::uint32_t kAgreeAtMostMs = 20000;  // with signs, but no agreement
constexpr std::size_t kMaxWaiting = 4096;        // lines a paste may run ahead of the peer

// What a sealed record carries, and the exact size of its body.
constexpr std::uint8_t kRecordLine = 'L';  // sequence number (4), the line (1 to kMaxChatLine)
constexpr std::uint8_t kRecordAck = 'A';   // all lines up to (4), map of the 64 after the next (8)
constexpr std::uint8_t kRecordBye = 'B';   // nothing
constexpr std::size_t kAckSize = 12;

void send_sealed(PeerSession* s, std::uint8_t kind, const std::uint8_t* body, std::size_t size) {
    std::uint8_t out[kMaxRecordBody + kRecordOverhead];
    const std::size_t n = seal_record(&s->secure->channel, kind, body, size, out);
    if (n > 0) send_to_peer(s, out, n, false);
}

SendLine line_sender(PeerSession* s) {
    return [s](std::uint32_t seq, const std::string& text) {
        std::uint8_t body[kMaxRecordBody];
        write32(body, seq);
        std::memcpy(body + 4, text.data(), text.size());
        send_sealed(s, kRecordLine, body, 4 + text.size());
    };
}

void send_ack(PeerSession* s) {
    std::uint32_t cumulative = 0;
    std::uint64_t map = 0;
    delivery_ack(&s->secure->delivery, &cumulative, &map);
    std::uint8_t body[kAckSize];
    write32(body, cumulative);
    write64(body + 4, map);
    send_sealed(s, kRecordAck, body, sizeof body);
}

void offer(PeerSession* s, std::uint32_t now) {
    SecureLink* l = s->secure;
    std::uint8_t out[kHandshakeSize + kProofSize];
    make_commit(&l->handshake, out);
    // Bare, as natchat before the peer line's tag knows it; and proven, so that a peer given our
    // line may bind it from wherever it reaches us.
    send_to_peer(s, out, kHandshakeSize, false);
    send_to_peer(s, out, proof_append(s->peer.own_tag, out, kHandshakeSize, peer_endpoint(s)), false);
    // The key goes out only once the peer is bound to one of its own.
    if (l->handshake.peer_committed) {
        make_reveal(&l->handshake, out);
        send_to_peer(s, out, kHandshakeSize, false);
    }
    l->offers = std::min(l->offers + 1, 16);
    l->offered_at = now;
}

// How long the latest offer waits for an answer before it goes again.
std::uint32_t offer_wait(const SecureLink* l) {
    return std::min(kOfferFirstMs << (std::max(l->offers, 1) - 1), kOfferEveryMs);
}

// Says how many lines, from which one on, did not make it.
void report_lines(PeerSession* s, Event event, std::size_t count, const std::string& first) {
    char excerpt[41];
    sanitize_for_display(reinterpret_cast<const std::uint8_t*>(first.data()),
                         std::min(first.size(), sizeof excerpt - 1), excerpt);
    tell(&s->console, event, {.count = count, .text = excerpt});
}

// The lines still waiting will not go out: the user hears which.
void drop_waiting(PeerSession* s) {
    Delivery& d = s->secure->delivery;
    if (!d.out.empty()) report_lines(s, Event::lines_not_sent, d.out.size(), d.out.front().text);
    d.out.clear();
}

// Lines that went out plain, in case the peer turns out to offer a secure session after all.
void note_sent_plain(SecureLink* l, const char* text, std::size_t size) {
    if (l->sent_plain++ == 0) l->first_plain.assign(text, size);
}

// Plain text goes only to an endpoint the user gave, of a peer that may speak nothing else.
bool plain_allowed(PeerSession* s) { return !s->peer.secure_only && identity_plain(s, peer_endpoint(s)); }

void go_plain(PeerSession* s) {
    SecureLink* l = s->secure;
    l->mode = LinkMode::plain;
    tell(&s->console, Event::not_encrypted);
    for (const Outgoing& o : l->delivery.out) {
        note_sent_plain(l, o.text.data(), o.text.size());
        send_to_peer(s, o.text.data(), o.text.size(), true);
    }
    l->delivery.out.clear();
}

// The peer's offer came after we went plain: lost, late, or held back by someone on the path. Its
// program refuses plain lines from here on, so we agree a session as at the start.
void go_agreeing(PeerSession* s, std::uint32_t now) {
    SecureLink* l = s->secure;
    l->mode = LinkMode::agreeing;
    l->started_at = now;
    tell(&s->console, Event::late_offer);
    // A program that offers refuses plain lines: those may never have been shown.
    if (l->sent_plain > 0) report_lines(s, Event::lines_sent_plain, l->sent_plain, l->first_plain);
    offer(s, now);
}

void go_failed(PeerSession* s, Event notice) {
    s->secure->mode = LinkMode::failed;
    tell(&s->console, notice);
    drop_waiting(s);
}

void go_secure(PeerSession* s) {
    SecureLink* l = s->secure;
    l->mode = LinkMode::secure;
    s->peer.agreed.store(true);
    tell(&s->console, Event::encrypted, {.text = l->channel.code});
    send_ack(s);  // tells the peer that we have the keys
    delivery_pump(&l->delivery, platform::tick_ms(), line_sender(s));
}

// Waits, the lock held between looks, while `waiting` holds and time and the session allow.
template <typename Waiting>
void wait_while(PeerSession* s, std::uint32_t limit_ms, Waiting waiting) {
    const std::uint32_t start = platform::tick_ms();
    while (platform::elapsed(platform::tick_ms(), start) < limit_ms && waiting()) {
        platform::lock_leave(&s->secure->lock);
        platform::sleep_ms(10);
        platform::lock_enter(&s->secure->lock);
    }
}

// A record's body must be exactly what its kind carries; anything else is refused.
bool well_formed(std::uint8_t kind, std::size_t size) {
    switch (kind) {
        case kRecordLine: return size > 4 && size <= 4 + kMaxChatLine;
        case kRecordAck: return size == kAckSize;
        case kRecordBye: return size == 0;
        default: return false;
    }
}

// The peer's first sealed record: it has our key, and nothing more is offered. Sent once our key
// came, it answered our latest offer if it came within that offer's wait: that round trip is the
// first guess of the lines' own. Lines sent before may have found the peer without the keys; the
// probe for them goes at the path's speed now, not at the guess's.
void peer_keyed(PeerSession* s) {
    SecureLink* l = s->secure;
    const std::uint32_t now = platform::tick_ms();
    l->peer_has_keys = true;
    if (now - l->offered_at < offer_wait(l)) delivery_seed_rtt(&l->delivery, now - l->offered_at);
    delivery_pump(&l->delivery, now, line_sender(s));
    platform::waker_nudge(&s->run.wake);  // the keepalive thread keeps the new time-outs
}

// `elsewhere`: from another port of the peer's address, where only the newest record the peer has
// sealed shows that it moved; an older one, withheld on the way and sent on from there, is refused.
void take_record(PeerSession* s, const std::uint8_t* data, std::size_t size, bool elsewhere,
                 Received* r) {
    SecureLink* l = s->secure;
    std::uint8_t kind = 0;
    std::uint8_t body[kMaxRecordBody];
    std::size_t n = 0;
    // Before we have the keys, a record of a peer that has them waits for its retransmission.
    if (l->mode != LinkMode::secure) return;
    const std::uint64_t newest = l->channel.highest;
    if (!open_record(&l->channel, data, size, &kind, body, sizeof body, &n) || !well_formed(kind, n) ||
        (elsewhere && l->channel.highest == newest)) {
        ++l->rejected;
        r->refused = true;
        return;
    }
    r->opened = true;
    r->newest = l->channel.highest != newest;
    if (!l->peer_has_keys) peer_keyed(s);
    if (kind == kRecordLine) {
        const char* text = reinterpret_cast<char*>(body) + 4;
        delivery_take(&l->delivery, read32(body), std::string(text, n - 4), &r->lines);
        send_ack(s);
    } else if (kind == kRecordAck) {
        delivery_acked(&l->delivery, platform::tick_ms(), read32(body), read64(body + 4),
                       line_sender(s));
    } else {
        r->left = true;
    }
}

}  // namespace

bool secure_link_open(PeerSession* s) {
    auto* l = new (std::nothrow) SecureLink{};
    if (l == nullptr || !handshake_start(&l->handshake)) {
        delete l;
        return false;
    }
    platform::lock_init(&l->lock);
    l->mode = LinkMode::agreeing;
    s->secure = l;
    return true;
}

namespace {

// Under the lock. A peer that offered once is never taken for plain again: `peer_offered` stays.
void start_over(SecureLink* l) {
    if (l->mode == LinkMode::agreeing && l->handshake.peer_committed &&
        handshake_start(&l->handshake)) {
        l->offers = 0;
        l->started_at = platform::tick_ms();
    }
}

// A plain line or bye claiming to come from a peer that speaks the secure session, or from an
// endpoint that may carry none: counted and refused.
bool refuse_plain(PeerSession* s, const std::uint8_t* data, std::size_t size, const Sender& from,
                  EnvelopeType type) {
    const SecureLink* l = s->secure;
    const DatagramKind plain = classify_datagram(data, size);
    const bool refused = type == EnvelopeType::none &&
                         (l->mode == LinkMode::secure || l->mode == LinkMode::failed || l->peer_offered ||
                          s->peer.secure_only || !from.plain) &&
                         (plain == DatagramKind::chat || plain == DatagramKind::bye);
    if (refused) ++s->secure->rejected;
    return refused;
}

// The peer's commitment: the offer of a secure session. One that may not bind counts for nothing,
// not as an offer, nor against the one kept.
void take_offer(PeerSession* s, const std::uint8_t* data, std::size_t size) {
    SecureLink* l = s->secure;
    if (l->recheck) {
        // Whoever we agreed with at the port we left shows itself here, or the agreement starts
        // over: our key went to someone else.
        l->recheck = false;
        if (!take_commit(&l->handshake, data, size)) start_over(l);
    }
    if (l->mode == LinkMode::failed) return;
    const bool first = !l->handshake.peer_committed;
    l->peer_offered = take_commit(&l->handshake, data, size) || l->peer_offered;
    if (first && l->peer_offered && l->mode == LinkMode::plain) {
        go_agreeing(s, platform::tick_ms());
    } else if (first && l->peer_offered) {
        offer(s, platform::tick_ms());
    }
}

// Under the link's lock: what the secure session makes of a datagram from where the peer is.
void take_envelope(PeerSession* s, const std::uint8_t* data, std::size_t size, const Sender& from,
                   EnvelopeType type, Received* r) {
    SecureLink* l = s->secure;
    if (type == EnvelopeType::commit && from.binds) {
        take_offer(s, data, size);
    } else if (type == EnvelopeType::reveal && l->mode == LinkMode::agreeing) {
        if (take_reveal(&l->handshake, data, size, &l->channel)) go_secure(s);
    } else if (type == EnvelopeType::reveal && l->mode == LinkMode::secure) {
        send_ack(s);  // the peer is still offering: it has not heard that we have the keys
    } else if (type == EnvelopeType::record) {
        take_record(s, data, size, false, r);
    }
}

}  // namespace

void secure_link_restart(PeerSession* s) {
    SecureLink* l = s->secure;
    platform::lock_enter(&l->lock);
    start_over(l);
    platform::lock_leave(&l->lock);
}

void secure_link_recheck(PeerSession* s) {
    SecureLink* l = s->secure;
    platform::lock_enter(&l->lock);
    l->recheck = l->mode == LinkMode::agreeing && l->handshake.peer_committed;
    platform::lock_leave(&l->lock);
}

void secure_link_renew(PeerSession* s) {
    SecureLink* l = s->secure;
    platform::lock_enter(&l->lock);
    std::string first;
    const std::size_t unconfirmed = delivery_unconfirmed(&l->delivery, &first);
    if (l->mode != LinkMode::plain && handshake_start(&l->handshake)) {
        if (l->mode == LinkMode::secure && unconfirmed > 0) report_lines(s, Event::lines_unconfirmed, unconfirmed, first);
        wipe(&l->channel, sizeof l->channel);
        l->channel = Channel{};
        l->delivery = Delivery{};
        l->mode = LinkMode::agreeing;
        l->peer_offered = l->peer_has_keys = l->unconfirmed_told = l->recheck = false;
        l->offers = 0;
        l->started_at = platform::tick_ms();
        s->peer.agreed.store(false);
        tell(&s->console, Event::renewing);
    }
    platform::lock_leave(&l->lock);
    platform::waker_nudge(&s->run.wake);  // the offers start at once
}

void secure_link_close(PeerSession* s) {
    if (s->secure == nullptr) return;
    platform::lock_destroy(&s->secure->lock);
    wipe(&s->secure->handshake, sizeof s->secure->handshake);
    wipe(&s->secure->channel, sizeof s->secure->channel);
    delete s->secure;
    s->secure = nullptr;
}

void secure_link_receive(PeerSession* s, const std::uint8_t* data, std::size_t size,
                         const Sender& from, Received* r) {
    SecureLink* l = s->secure;
    const EnvelopeType type = envelope_type(data, size);
    platform::lock_enter(&l->lock);
    if (from.elsewhere) {
        if (type == EnvelopeType::record) take_record(s, data, size, true, r);
    } else {
        const bool refused = refuse_plain(s, data, size, from, type);
        r->refused = r->refused || refused;
        r->taken = type != EnvelopeType::none || refused;
        take_envelope(s, data, size, from, type, r);
    }
    platform::lock_leave(&l->lock);
}

bool secure_link_offered(PeerSession* s) {
    platform::lock_enter(&s->secure->lock);
    const bool offered = s->secure->peer_offered;
    platform::lock_leave(&s->secure->lock);
    return offered;
}

std::uint32_t secure_link_tick(PeerSession* s) {
    SecureLink* l = s->secure;
    platform::lock_enter(&l->lock);
    // Read under the lock: other threads stamp the link with their own ticks meanwhile.
    const std::uint32_t now = platform::tick_ms();
    if (!l->started) {
        l->started = true;
        l->started_at = now;
    }
    const std::uint32_t since = now - l->started_at;
    std::uint32_t due = platform::kForever;
    if (l->mode == LinkMode::agreeing && !l->peer_offered && since >= kPlainAfterMs) {
        if (s->peer.secure_only) {
            go_failed(s, Event::no_offer_secure_only);
        } else if (!plain_allowed(s)) {
            go_failed(s, Event::no_offer_elsewhere);
        } else {
            go_plain(s);
        }
    } else if (l->mode == LinkMode::agreeing && since >= kAgreeAtMostMs) {
        go_failed(s, Event::no_agreement);
    } else if (l->mode == LinkMode::agreeing) {
        due = (l->peer_offered ? kAgreeAtMostMs : kPlainAfterMs) - since;
    }
    // Offer until the peer shows that it has the keys (its first sealed record).
    const bool offering = l->mode == LinkMode::agreeing ||
                          (l->mode == LinkMode::secure && !l->peer_has_keys);
    if (offering && since < kAgreeAtMostMs) {
        if (l->offers == 0 || now - l->offered_at >= offer_wait(l)) offer(s, now);
        due = std::min(due, platform::left_of(offer_wait(l), l->offered_at, now));
    } else if (offering && !l->unconfirmed_told) {
        l->unconfirmed_told = true;  // we have keys the peer never showed it has
        tell(&s->console, Event::not_confirmed);
    }
    if (l->mode == LinkMode::secure) {
        delivery_pump(&l->delivery, now, line_sender(s));
        std::size_t count = 0;
        std::string first;
        if (delivery_stalled(&l->delivery, now, &count, &first)) {
            report_lines(s, Event::lines_still_sending, count, first);
        }
        due = std::min(due, delivery_due_in(&l->delivery, now));
    }
    platform::lock_leave(&l->lock);
    return due;
}

void secure_link_send(PeerSession* s, const char* text, std::size_t size) {
    SecureLink* l = s->secure;
    // Nobody would confirm it: the user hears so, rather than wait in vain at the end.
    if (s->run.presence.load(std::memory_order_relaxed) == Presence::left) {
        tell(&s->console, Event::not_sent_left);
        return;
    }
    platform::lock_enter(&l->lock);
    // A long paste waits here for the peer to catch up, rather than piling up without end.
    wait_while(s, platform::kForever, [&] {
        return (l->mode == LinkMode::agreeing || l->mode == LinkMode::secure) &&
               l->delivery.out.size() >= kMaxWaiting && chat_goes_on(s);
    });
    const LinkMode mode = l->mode;
    if (mode == LinkMode::plain) note_sent_plain(l, text, size);
    if (mode == LinkMode::agreeing || mode == LinkMode::secure) {
        delivery_queue(&l->delivery, std::string(text, size));
        if (mode == LinkMode::secure) delivery_pump(&l->delivery, platform::tick_ms(), line_sender(s));
    }
    const bool plain = mode == LinkMode::plain && plain_allowed(s);
    platform::lock_leave(&l->lock);
    if (plain) {
        send_to_peer(s, text, size, true);
    } else if (mode == LinkMode::plain || mode == LinkMode::failed) {
        tell(&s->console, Event::not_sent_no_session);
    } else {
        platform::waker_nudge(&s->run.wake);  // the keepalive thread keeps the time-outs
    }
}

bool secure_link_settle(PeerSession* s) {
    SecureLink* l = s->secure;
    platform::lock_enter(&l->lock);
    wait_while(s, platform::kForever, [&] { return l->mode == LinkMode::agreeing && is_running(s); });
    const bool secure = l->mode == LinkMode::secure;
    platform::lock_leave(&l->lock);
    return secure;
}

void secure_link_finish(PeerSession* s, std::uint32_t limit_ms) {
    SecureLink* l = s->secure;
    platform::lock_enter(&l->lock);
    wait_while(s, limit_ms, [&] {
        return l->mode == LinkMode::agreeing ||
               (l->mode == LinkMode::secure && !l->delivery.out.empty());
    });
    std::string first;
    const std::size_t unconfirmed = delivery_unconfirmed(&l->delivery, &first);
    if (l->mode == LinkMode::secure && unconfirmed > 0) {
        report_lines(s, Event::lines_unconfirmed, unconfirmed, first);
        l->delivery.out.clear();
    }
    drop_waiting(s);  // undecided still: nothing goes out in plain text unasked
    if (l->mode == LinkMode::secure) {
        send_sealed(s, kRecordBye, nullptr, 0);
    } else if (!l->peer_offered && plain_allowed(s)) {
        // A peer that offered the secure session refuses a plain bye: it is not sent.
        send_to_peer(s, kBye, sizeof kBye - 1, true);
    }
    platform::lock_leave(&l->lock);
}

std::uint64_t secure_link_refused(PeerSession* s) {
    platform::lock_enter(&s->secure->lock);
    const std::uint64_t refused = s->secure->rejected;
    platform::lock_leave(&s->secure->lock);
    return refused;
}
