#include "path/receiver.h"

#include <algorithm>
#include <cstdio>

#include "console/events.h"
#include "peer/identity.h"
#include "peer/proof.h"
#include "peer/protocol.h"
#include "secure/secure_link.h"
#include "platform/platform.h"
#include "relay/relay.h"
#include "session/session.h"

namespace {

// What the user is told about the peer changes under the console lock, with its notice.
void announce_left(PeerSession* s) {
    platform::lock_enter(&s->console.lock);
    if (s->run.presence.exchange(Presence::left) != Presence::left) tell_locked(&s->console, Event::peer_left);
    platform::lock_leave(&s->console.lock);
}

// The peer that had left punches again where the user gave it: its program started anew, and is
// taken back.
void welcome_back(PeerSession* s) {
    platform::lock_enter(&s->console.lock);
    Presence left = Presence::left;
    const bool back = s->run.presence.compare_exchange_strong(left, Presence::present);
    if (back) tell_locked(&s->console, Event::peer_back);
    s->run.last_heard.store(platform::tick_ms(), std::memory_order_relaxed);
    platform::lock_leave(&s->console.lock);
    if (back && s->secure != nullptr) secure_link_renew(s);
}

// A peer that has left stays gone until it punches again: what still comes from it was on its
// way before its bye.
void note_heard(PeerSession* s) {
    platform::lock_enter(&s->console.lock);
    s->run.last_heard.store(platform::tick_ms(), std::memory_order_relaxed);
    Presence silent = Presence::silent;
    if (s->run.presence.compare_exchange_strong(silent, Presence::present)) tell_locked(&s->console, Event::peer_back);
    platform::lock_leave(&s->console.lock);
}

// A datagram as it reached us from the peer's side: unwrapped when it came through our relay.
struct Incoming {
    const std::uint8_t* data;
    std::size_t size;
    platform::Endpoint from;
    bool relayed;  // through our relay, from the endpoint `from`
    DatagramKind kind;
    bool proven;  // it carries the proof of the peer's line, made for where it reached us
};

// What the relay server says for itself is taken in there: only a peer's data goes on, as from
// that peer, and empty data is no datagram. False when nothing goes on.
bool take_in(PeerSession* s, const std::uint8_t* data, std::size_t size, platform::Endpoint from,
             Incoming* in) {
    in->relayed = from_relay(s, from);
    if (in->relayed && (!relay_receive(s, data, size, &data, &size, &from) || size == 0)) return false;
    *in = Incoming{data, size, from, in->relayed, classify_datagram(data, size), false};
    // Only a peer whose line we were given can prove anything, and only of a datagram sent to us.
    // Our router's mapping shares our public address: the way in cannot tell the two apart.
    const platform::Endpoint to = identity_addressed(s, from, in->relayed);
    const platform::Endpoint& mapped = s->found.portmapped;
    in->proven = s->peer.remote.tagged &&
                 (proof_holds(s->peer.remote.tag, data, size, to) ||
                  (mapped.port != 0 && platform::same_endpoint(to, s->found.mapped) &&
                   proof_holds(s->peer.remote.tag, data, size, mapped)));
    return true;
}

// Who sent it. The typed endpoint speaking anew starts the secure session over; another port of
// the peer's address may be learned here.
Claim judge(PeerSession* s, const Incoming& in) {
    const Claim claim = identity_judge(s, in.data, in.size, in.from, in.proven);
    if (claim == Claim::typed_again) {
        if (s->secure != nullptr) secure_link_restart(s);
        return Claim::peer;
    }
    const bool learned = claim == Claim::other_port && identity_learn(s, in.kind, in.from, in.relayed, in.proven);
    // The peer found our relayed address while the path opens: it is reached the same way back,
    // as its NAT may let in nothing but the relay, unless it was heard directly where we send.
    // Once the chat runs only a sealed record through the relay takes the path there: a proof
    // does not expire, and one replayed would move the chat where the peer may hear nothing.
    const bool found_relay = learned || (claim == Claim::peer && in.proven && !s->peer.learned.heard_direct);
    if (in.relayed && found_relay && !relay_chosen(s) && !s->run.connected.load(std::memory_order_relaxed)) {
        relay_choose(s);
    }
    return learned ? Claim::peer : claim;
}

// A roaming peer: its sealed record, and only that, shows where it went.
void follow_roaming(PeerSession* s, const Incoming& in, Claim claim, Received* r) {
    if ((claim != Claim::other_port && claim != Claim::unproven) || s->secure == nullptr) return;
    secure_link_receive(s, in.data, in.size, Sender{true, false, false}, r);
    if (r->opened && claim == Claim::other_port) identity_move(s, in.from);
    // The peer fell back to our relay from a direct path: so do we.
    if (r->opened && claim == Claim::other_port && in.relayed && !relay_chosen(s)) relay_choose(s);
}

// Where the relay reaches the peer at the very endpoint the path is on, the peer's datagrams
// decide between the relay and the direct way there: the way its newest sealed record came, which
// is where it sends now (an older one may have been held back and sent on later); or, while the
// path opens, a direct answer to our punch (once the chat runs an answer could be a replay). The
// relay is only ever for want of a direct way: it is taken back once nothing has come directly
// from the peer for a while. Given a tagged line only what proves itself counts: a bare datagram
// from the peer's address is anyone's who can forge it; without a tag it is all there is.
void weigh_relay(PeerSession* s, const Incoming& in, Claim claim, const Received& r) {
    const bool tagged = s->peer.remote.tagged;
    if (!in.relayed) s->peer.learned.heard_direct = true;
    if (!in.relayed && claim == Claim::peer && !r.refused && (in.proven || r.opened || !tagged)) {
        s->peer.learned.direct_at = platform::tick_ms();
    }
    if (claim != Claim::peer || r.refused || relay_chosen(s) == in.relayed) return;
    const bool record = r.opened && r.newest;
    const bool answered = in.kind == DatagramKind::punch_ack && (in.proven || !tagged);
    const bool quiet = platform::elapsed(platform::tick_ms(), s->peer.learned.direct_at) >= kPathQuietMs;
    // The change and its notice go together under the console lock, as the chat's start does, so
    // that the connection screen and the notices never contradict each other.
    platform::lock_enter(&s->console.lock);
    const bool connected = s->run.connected.load();
    if (!in.relayed && (record || (answered && !connected))) {
        relay_leave(s);
        if (connected) tell_locked(&s->console, Event::relay_left, {.at = in.from, .path = path_kind(s, in.from)});
    } else if (in.relayed && (record || !tagged) && connected && quiet) {
        relay_choose(s);
        tell_locked(&s->console, Event::relay_back, {.at = s->relayed});
    }
    platform::lock_leave(&s->console.lock);
}

// The peer's datagram counts: the socket that heard it answers from now on, the secure session
// takes its part, and the path notes where the peer answers.
void take_from_peer(PeerSession* s, platform::Socket sock, const Incoming& in, Claim claim, bool peers,
                    Received* r) {
    if (!in.relayed) s->sockets.sock.store(sock);  // the socket that hears the peer is the one to answer from
    s->run.packets_received.fetch_add(1, std::memory_order_relaxed);
    if (peers && s->secure != nullptr) {
        const Sender sender{false, identity_plain(s, in.from), identity_may_bind(s, in.from, in.proven)};
        secure_link_receive(s, in.data, in.size, sender, r);
    }
    weigh_relay(s, in, claim, *r);
    // Where we send still answers; a record that does not open there says nothing of the path.
    if (claim == Claim::peer && !r->refused) s->peer.path_heard.store(platform::tick_ms());
    // Through our relay, only the relay's own choice (judge) moves the path.
    const bool may_move = !in.relayed && (claim == Claim::candidate || (claim == Claim::unproven && r->opened));
    if (may_move && identity_path(s, in.kind, r->opened, in.from) == PathMove::from_learned &&
        s->secure != nullptr) {
        secure_link_recheck(s);
    }
}

// What the user sees of it, and our answer to a punch, which proves our line wherever it goes.
void respond(PeerSession* s, platform::Socket sock, const Incoming& in, bool peers, const Received& r) {
    if (r.left || (!r.taken && in.kind == DatagramKind::bye && identity_plain(s, in.from))) {
        announce_left(s);
        return;
    }
    note_heard(s);
    for (const std::string& line : r.lines) {
        show_peer_line(s, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    }
    if (r.taken || !peers) return;
    const ProvenWord ack = proven_word(s->peer.own_tag, kPunchAck, in.from);
    if (in.kind == DatagramKind::punch && in.relayed) relay_send(s, ack.bytes, ack.size, in.from);
    if (in.kind == DatagramKind::punch && !in.relayed) platform::send_to(sock, ack.bytes, ack.size, in.from);
    if (in.kind == DatagramKind::chat && identity_plain(s, in.from)) show_peer_line(s, in.data, in.size);
}

// True when the datagram came from the peer. Only the peer's datagrams count, answer, refresh
// its presence, end the chat or are shown; everything else is counted and forgotten.
bool handle_datagram(PeerSession* s, platform::Socket sock, const std::uint8_t* data,
                     std::size_t size, platform::Endpoint from) {
    Incoming in;
    if (!take_in(s, data, size, from, &in)) return false;
    const Claim claim = judge(s, in);
    Received r;
    follow_roaming(s, in, claim, &r);
    const bool peers = claim == Claim::peer || claim == Claim::candidate;
    if (peers && in.kind == DatagramKind::punch && identity_gave(s, in.from) &&
        s->run.presence.load(std::memory_order_relaxed) == Presence::left) {
        welcome_back(s);
    }
    if (!peers && !r.opened) {
        s->run.strangers_dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    take_from_peer(s, sock, in, claim, peers, &r);
    respond(s, sock, in, peers, r);
    return true;
}

// A socket's turn in a round of the receive loop, and the round, in datagrams: a flooded socket
// keeps neither the other candidates nor the stop signal waiting.
constexpr int kTurnDatagrams = 8;
constexpr int kRoundDatagrams = 32;

enum class Drained { empty, more, peer_heard, failed };

// Reads what `sock` has queued, for one turn and within what is left of the round (`budget`).
// While a socket is still to be chosen, reading stops at the peer's first datagram: the socket
// it came on is the session's from then on.
Drained drain(PeerSession* s, platform::Socket sock, bool choosing, int* budget) {
    // Room for a sealed line; a plain one is shown as its first kMaxChatLine bytes.
    std::uint8_t buffer[4096];
    for (int left = kTurnDatagrams; left > 0 && *budget > 0; --left, --*budget) {
        platform::Endpoint from{0, 0};
        const platform::RecvResult r = platform::recv_from(sock, buffer, sizeof buffer, &from);
        switch (r.status) {
            case platform::RecvStatus::ok:
            case platform::RecvStatus::message_too_long:  // kept as its first bytes
                if (r.bytes > 0 && handle_datagram(s, sock, buffer, r.bytes, from) && choosing) {
                    return Drained::peer_heard;
                }
                break;
            case platform::RecvStatus::reset:
                // A punch of ours refused by a closed port says nothing about the path; go on.
                break;
            case platform::RecvStatus::would_block:
                return Drained::empty;
            case platform::RecvStatus::other:
                if (is_running(s)) {
                    tell(&s->console, Event::receive_error, {.number = r.code});
                    // A deaf chat is no chat: it ends, with exit code 1.
                    s->run.failed.store(true, std::memory_order_relaxed);
                    platform::end_input();
                }
                return Drained::failed;
        }
    }
    return Drained::more;
}

}  // namespace

void show_peer_line(PeerSession* s, const std::uint8_t* data, std::size_t size) {
    size = std::min(size, kMaxChatLine);  // whatever the caller checked, the buffers hold no more
    if (!s->run.connected.exchange(true, std::memory_order_relaxed)) {
        tell(&s->console, Event::chat_connected);
    }
    char text[kMaxChatLine + 1];
    sanitize_for_display(data, size, text);
    tell(&s->console, Event::peer_line, {.text = text});
}

int receive_loop(void* arg) {
    auto* s = static_cast<PeerSession*>(arg);
    // Behind a symmetric NAT every candidate socket is heard, until one of them hears the peer.
    bool choosing = s->sockets.candidate_count > 0;
    platform::Socket watched[platform::kMaxWaitSockets];
    std::size_t turn = 0;  // counts on from round to round, so that the sockets take turns
    while (is_running(s)) {
        std::size_t count = 0;
        if (choosing) {
            for (; count < s->sockets.candidate_count; ++count) watched[count] = s->sockets.candidates[count];
        } else {
            watched[count++] = s->sockets.sock.load();
            // The relay's socket too, once the peer is heard on another.
            if (s->relay_sock != platform::kInvalidSocket && s->relay_sock != watched[0]) {
                watched[count++] = s->relay_sock;
            }
        }
        bool settled_now = false;
        int budget = kRoundDatagrams;
        for (std::size_t i = 0; i < count && budget > 0 && !settled_now; ++i) {
            const Drained d = drain(s, watched[turn++ % count], choosing, &budget);
            if (d == Drained::failed) return 0;
            settled_now = d == Drained::peer_heard;
        }
        if (settled_now) {
            // From here on the main thread may close the others; what the chosen socket still
            // holds is read on the next round.
            choosing = false;
            s->sockets.settled.store(true, std::memory_order_release);
            continue;
        }
        // Asleep until a datagram comes or the program stops (at once when one still waits):
        // no time-out, no polling.
        if (!platform::wait_for_datagram(watched, count, &s->run.wake)) return 0;
    }
    return 0;
}
