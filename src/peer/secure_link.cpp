#include "peer/secure_link.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "net/endpoint.h"
#include "peer/protocol.h"
#include "peer/receiver.h"
#include "shared/peer_session.h"

namespace {

constexpr std::uint32_t kOfferEveryMs = 500;
constexpr std::uint32_t kPlainAfterMs = 3000;    // without a sign from the peer
constexpr std::uint32_t kAgreeAtMostMs = 20000;  // with signs, but no agreement
constexpr std::size_t kMaxWaiting = 4096;        // lines a paste may run ahead of the peer

// What a sealed record carries.
constexpr std::uint8_t kRecordLine = 'L';  // sequence number (4), the line
constexpr std::uint8_t kRecordAck = 'A';   // all lines up to (4), map of the 64 after the next (8)
constexpr std::uint8_t kRecordBye = 'B';

constexpr char kNoOffer[] =
    "\nThis chat is NOT encrypted: the peer's program does not offer a secure session.\n> ";
constexpr char kNoAgreement[] =
    "\nThis chat is NOT encrypted: no secure session could be agreed with the peer.\n> ";

void put(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * (bytes - 1 - i)));
}

std::uint64_t get(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = v << 8 | p[i];
    return v;
}

void send_sealed(PeerSession* s, std::uint8_t kind, const std::uint8_t* body, std::size_t size) {
    std::uint8_t out[4 + kMaxChatLine + kRecordOverhead];
    const std::size_t n = seal_record(&s->secure->channel, kind, body, size, out);
    if (n > 0) platform::send_to(s->sock, out, n, s->peer_addr);
}

SendLine line_sender(PeerSession* s) {
    return [s](std::uint32_t seq, const std::string& text) {
        std::uint8_t body[4 + kMaxChatLine];
        put(body, seq, 4);
        std::memcpy(body + 4, text.data(), text.size());
        send_sealed(s, kRecordLine, body, 4 + text.size());
    };
}

void send_ack(PeerSession* s) {
    std::uint32_t cumulative = 0;
    std::uint64_t map = 0;
    delivery_ack(&s->secure->delivery, &cumulative, &map);
    std::uint8_t body[12];
    put(body, cumulative, 4);
    put(body + 4, map, 8);
    send_sealed(s, kRecordAck, body, sizeof body);
}

void offer(PeerSession* s, std::uint32_t now) {
    SecureLink* l = s->secure;
    std::uint8_t out[kHandshakeSize];
    make_commit(&l->handshake, out);
    platform::send_to(s->sock, out, sizeof out, s->peer_addr);
    // The key goes out only once the peer is bound to one of its own.
    if (l->handshake.have_peer_commit) {
        make_reveal(&l->handshake, out);
        platform::send_to(s->sock, out, sizeof out, s->peer_addr);
    }
    l->offered = true;
    l->offered_at = now;
}

void go_plain(PeerSession* s, const char* notice) {
    SecureLink* l = s->secure;
    l->mode = LinkMode::plain;
    safe_print(s, notice);
    for (const Outgoing& o : l->delivery.out) {
        send_patiently(s->sock, o.text.data(), o.text.size(), s->peer_addr);
    }
    l->delivery.out.clear();
}

void report_unconfirmed(PeerSession* s, std::size_t count, const std::string& first) {
    char excerpt[41];
    sanitize_for_display(reinterpret_cast<const std::uint8_t*>(first.data()),
                         std::min(first.size(), sizeof excerpt - 1), excerpt);
    char notice[128];
    std::snprintf(notice, sizeof notice,
                  "\n[The peer did not confirm %zu line(s), from \"%s\" on]\n> ", count, excerpt);
    safe_print(s, notice);
}

void take_record(PeerSession* s, const std::uint8_t* data, std::size_t size, bool* left) {
    SecureLink* l = s->secure;
    std::uint8_t kind = 0;
    std::uint8_t body[4096];
    std::size_t n = 0;
    // Before we have the keys, a record of a peer that has them waits for its retransmission.
    if (l->mode != LinkMode::secure) return;
    if (!open_record(&l->channel, data, size, &kind, body, &n)) {
        ++l->rejected;
        return;
    }
    l->peer_has_keys = true;  // nothing more to offer
    if (kind == kRecordLine) {
        // A record too short for its sequence number carries an empty line.
        const char* text = reinterpret_cast<char*>(body) + 4;
        std::vector<std::string> ready;
        delivery_take(&l->delivery, static_cast<std::uint32_t>(get(body, 4)),
                      std::string(text, text + std::max<std::size_t>(n, 4) - 4), &ready);
        for (const std::string& line : ready) {
            show_peer_line(s, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
        }
        send_ack(s);
    } else if (kind == kRecordAck) {
        if (n == 12) {
            delivery_acked(&l->delivery, platform::tick_ms(),
                           static_cast<std::uint32_t>(get(body, 4)), get(body + 4, 8),
                           line_sender(s));
        }
    } else if (kind == kRecordBye) {
        *left = true;
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

void secure_link_close(PeerSession* s) {
    if (s->secure == nullptr) return;
    platform::lock_destroy(&s->secure->lock);
    delete s->secure;
    s->secure = nullptr;
}

bool secure_link_receive(PeerSession* s, const std::uint8_t* data, std::size_t size, bool* left) {
    SecureLink* l = s->secure;
    const EnvelopeType type = envelope_type(data, size);
    platform::lock_enter(&l->lock);
    // A plain line or bye claiming to come from a peer that speaks the secure session.
    const DatagramKind plain = classify_datagram(data, size);
    const bool plain_refused = type == EnvelopeType::none &&
                               (l->mode == LinkMode::secure || l->peer_offered) &&
                               (plain == DatagramKind::chat || plain == DatagramKind::bye);
    if (plain_refused) ++l->rejected;
    if (type == EnvelopeType::commit && l->mode != LinkMode::plain) {
        const bool first = !l->handshake.have_peer_commit;
        l->peer_offered = take_commit(&l->handshake, data, size) || l->peer_offered;
        if (first && l->handshake.have_peer_commit) offer(s, platform::tick_ms());
    } else if (type == EnvelopeType::reveal && l->mode == LinkMode::agreeing) {
        l->peer_offered = true;
        if (take_reveal(&l->handshake, data, size, &l->channel)) {
            l->mode = LinkMode::secure;
            char notice[200];
            std::snprintf(notice, sizeof notice,
                          "\nThis chat is encrypted.\nSecurity code: %s\nRead the code to your "
                          "peer by voice: if the two codes differ, someone is in between.\n> ",
                          l->channel.code);
            safe_print(s, notice);
            send_ack(s);  // tells the peer that we have the keys
            delivery_pump(&l->delivery, platform::tick_ms(), line_sender(s));
        }
    } else if (type == EnvelopeType::reveal && l->mode == LinkMode::secure) {
        send_ack(s);  // the peer is still offering: it has not heard that we have the keys
    } else if (type == EnvelopeType::record) {
        take_record(s, data, size, left);
    }
    platform::lock_leave(&l->lock);
    return type != EnvelopeType::none || plain_refused;
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
        go_plain(s, kNoOffer);
    } else if (l->mode == LinkMode::agreeing && since >= kAgreeAtMostMs) {
        go_plain(s, kNoAgreement);
    } else if (l->mode == LinkMode::agreeing) {
        due = (l->peer_offered ? kAgreeAtMostMs : kPlainAfterMs) - since;
    }
    // Offer until the peer shows that it has the keys (its first sealed record).
    const bool offering = l->mode == LinkMode::agreeing ||
                          (l->mode == LinkMode::secure && !l->peer_has_keys);
    if (offering && since < kAgreeAtMostMs) {
        if (!l->offered || now - l->offered_at >= kOfferEveryMs) offer(s, now);
        due = std::min(due, kOfferEveryMs - (now - l->offered_at));
    }
    if (l->mode == LinkMode::secure) {
        delivery_pump(&l->delivery, now, line_sender(s));
        std::size_t count = 0;
        std::string first;
        if (delivery_give_up(&l->delivery, now, &count, &first)) report_unconfirmed(s, count, first);
        due = std::min(due, delivery_due_in(&l->delivery, now));
    }
    platform::lock_leave(&l->lock);
    return due;
}

void secure_link_send(PeerSession* s, const char* text, std::size_t size) {
    SecureLink* l = s->secure;
    platform::lock_enter(&l->lock);
    // A long paste waits here for the peer to catch up, rather than piling up without end.
    while (l->mode != LinkMode::plain && l->delivery.out.size() >= kMaxWaiting && chat_goes_on(s)) {
        platform::lock_leave(&l->lock);
        platform::sleep_ms(5);
        platform::lock_enter(&l->lock);
    }
    if (l->mode == LinkMode::plain) {
        platform::lock_leave(&l->lock);
        send_patiently(s->sock, text, size, s->peer_addr);
        return;
    }
    delivery_queue(&l->delivery, std::string(text, size), platform::tick_ms());
    if (l->mode == LinkMode::secure) {
        delivery_pump(&l->delivery, platform::tick_ms(), line_sender(s));
    }
    platform::lock_leave(&l->lock);
    platform::waker_nudge(&s->wake);  // the keepalive thread keeps the time-outs
}

void secure_link_finish(PeerSession* s, std::uint32_t limit_ms) {
    SecureLink* l = s->secure;
    const std::uint32_t start = platform::tick_ms();
    platform::lock_enter(&l->lock);
    while (platform::tick_ms() - start < limit_ms &&
           (l->mode == LinkMode::agreeing ||
            (l->mode == LinkMode::secure && !l->delivery.out.empty()))) {
        platform::lock_leave(&l->lock);
        platform::sleep_ms(10);
        platform::lock_enter(&l->lock);
    }
    if (l->mode == LinkMode::secure && !l->delivery.out.empty()) {
        report_unconfirmed(s, l->delivery.out.size(), l->delivery.out.front().text);
        l->delivery.out.clear();
    }
    if (l->mode == LinkMode::secure) {
        const std::uint8_t nothing[1] = {};
        send_sealed(s, kRecordBye, nothing, 0);
    } else {
        send_patiently(s->sock, kBye, sizeof kBye - 1, s->peer_addr);
    }
    platform::lock_leave(&l->lock);
}

std::int32_t secure_link_refused(PeerSession* s) {
    platform::lock_enter(&s->secure->lock);
    const std::int32_t refused = s->secure->rejected;
    platform::lock_leave(&s->secure->lock);
    return refused;
}
