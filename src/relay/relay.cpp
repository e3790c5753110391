#include "relay/relay.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "console/events.h"
#include "sockets/sockets.h"
#include "relay/turn.h"
#include "stun/message.h"
#include "address/address_text.h"
#include "session/session.h"
#include "bytes/wipe.h"

namespace {

// A request unanswered this long goes out again (with a new id).
constexpr std::uint32_t kResendMs = 1000;
// Sends of one request at start-up; at the end, where an answer matters less than a quick exit,
// fewer.
constexpr int kSends = 4;
constexpr int kSendsAtEnd = 2;
// Permissions last 300 s and channels 600 s on the server: both are renewed well before.
constexpr std::uint32_t kPermissionEveryMs = 120000;
constexpr std::size_t kMessageSize = 1500;
// What we ask for, the usual default: a server gives what its policy allows.
constexpr std::uint32_t kLifetimeS = 600;

enum Duty { kRefresh, kPermission, kChannel, kDuties };

// One thing the relay must be asked again and again: the request, and where it stands.
struct Task {
    TurnRequest request;
    bool on;       // wanted at all
    bool waiting;  // a request is out, with `id`
    std::uint8_t id[kTransactionIdSize];
    std::uint32_t sent_at;
    bool done;  // answered with success at `done_at`
    std::uint32_t done_at;
    std::uint32_t every_ms;
    int challenges = 0;  // answered in a row with a new nonce
};

// A relay that answers every request with a new nonce is not asked again at once more often.
constexpr int kChallengesInARow = 3;

}  // namespace

struct Relay {
    platform::Lock lock;
    platform::Socket sock;  // the allocation belongs to this socket's address
    platform::Endpoint server;
    TurnCredentials credentials;
    std::atomic<bool> chosen;
    bool admitted;  // the peer's address is let in: asked before the relay is chosen, or since
    platform::Endpoint peer;  // the one the channel is bound to
    bool bound;
    Task tasks[kDuties];
};

namespace {

// At half the lifetime, and at least every 30 s: the refresh also holds our NAT's mapping toward
// the relay open, which many NATs drop after a minute or two without traffic.
std::uint32_t refresh_every(std::uint32_t lifetime_s) {
    return std::min<std::uint32_t>(std::max<std::uint32_t>(lifetime_s, 2), 60) * 500;
}

// Sends the task's request with a new id; false when it could not be made.
bool send_task(Relay* r, Task* t, std::uint32_t now) {
    std::uint8_t message[kMessageSize];
    if (!platform::random_bytes(t->id, sizeof t->id)) return false;
    const std::size_t n = turn_build_request(t->request, t->id, r->credentials, message, sizeof message);
    if (n == 0) return false;
    platform::send_to(r->sock, message, n, r->server);
    t->waiting = true;
    t->sent_at = now;
    return true;
}

// A challenge with a fresh nonce (the stale-nonce answer, or the first challenge) is taken;
// true when the request should go again.
bool take_challenge(Relay* r, const TurnResponse& response) {
    const bool challenge = response.error == kErrorStaleNonce ||
                           (response.error == kErrorUnauthenticated && !r->credentials.challenged);
    const char* realm = response.realm[0] != '\0' ? response.realm : r->credentials.realm;
    return challenge && response.nonce_size > 0 &&
           turn_take_challenge(&r->credentials, realm, response.nonce, response.nonce_size);
}

// Start-up and end: the request until the relay answers it, a challenge answered on the way,
// within `sends_at_most` resend intervals in all, however many challenges come. False, with `why`
// set to the error (0: no answer), when there is no success.
bool transact(Relay* r, const TurnRequest& request, int sends_at_most, TurnResponse* response, int* why) {
    Task t{};
    t.request = request;
    *why = 0;
    const std::uint32_t start = platform::tick_ms();
    const std::uint32_t limit = static_cast<std::uint32_t>(sends_at_most) * kResendMs;
    for (int challenges = 0; challenges < kChallengesInARow;) {
        const std::uint32_t now = platform::tick_ms(), spent = now - start;
        if (spent >= limit || !send_task(r, &t, now)) return false;
        const std::uint32_t until = now + std::min(kResendMs, limit - spent);
        for (std::uint32_t left; (left = until - platform::tick_ms()) <= kResendMs &&
                                 platform::wait_readable(r->sock, left);) {
            std::uint8_t buffer[kMessageSize];
            platform::Endpoint from{0, 0};
            const platform::RecvResult got = platform::recv_from(r->sock, buffer, sizeof buffer, &from);
            if (got.status != platform::RecvStatus::ok || !platform::same_endpoint(from, r->server) ||
                !turn_read_response(buffer, got.bytes, t.id, r->credentials, response)) {
                continue;
            }
            if (response->error == 0) return true;
            *why = response->error;
            if (!take_challenge(r, *response)) return false;
            ++challenges;
            break;  // asked again at once, with the new nonce
        }
    }
    return false;
}

// The peer is now at `to`: a channel keeps the address it was bound to for its whole life, so
// another one takes the next number, bound anew. Under the relay's lock.
void move_channel(Relay* r, const platform::Endpoint& to) {
    Task& channel = r->tasks[kChannel];
    if (!channel.on || platform::same_endpoint(channel.request.peer, to)) return;
    r->bound = false;
    channel.request.peer = to;
    channel.request.channel = channel.request.channel == kLastChannel
                                  ? kFirstChannel
                                  : static_cast<std::uint16_t>(channel.request.channel + 1);
    channel.done = false;
    channel.waiting = false;
}

void free_relay(PeerSession* s) {
    platform::lock_destroy(&s->relay->lock);
    wipe(&s->relay->credentials, sizeof s->relay->credentials);
    delete s->relay;
    s->relay = nullptr;
}

}  // namespace

bool parse_relay_server(const char* text, RelayServer* out) {
    const char* at = std::strrchr(text, '@');
    const char* colon = std::strchr(text, ':');
    if (at == nullptr || colon == nullptr || colon > at || colon == text) return false;
    HostPort h{};
    const std::size_t user_size = static_cast<std::size_t>(colon - text);
    const std::size_t password_size = static_cast<std::size_t>(at - colon - 1);
    if (!split_host_port(at + 1, std::strlen(at + 1), &h)) return false;
    out->port = h.port != nullptr ? parse_port_text(h.port) : kStunDefaultPort;
    if (user_size >= sizeof out->user || password_size >= sizeof out->password || h.host_size == 0 ||
        h.host_size >= sizeof out->host || out->port == 0) {
        return false;
    }
    copy_secret(out->user, sizeof out->user, text, user_size);
    copy_secret(out->password, sizeof out->password, colon + 1, password_size);
    copy_secret(out->host, sizeof out->host, h.host, h.host_size);
    return true;
}

void relay_open(PeerSession* s, platform::Endpoint server, const char* user, const char* password) {
    auto* r = new Relay{};
    platform::lock_init(&r->lock);
    r->sock = s->sockets.sock;
    r->server = server;
    // Both were checked to fit when the --turn word was read; anything longer is cut.
    TurnCredentials& c = r->credentials;
    copy_secret(c.user, sizeof c.user, user, std::min(std::strlen(user), sizeof c.user - 1));
    copy_secret(c.password, sizeof c.password, password, std::min(std::strlen(password), sizeof c.password - 1));
    s->relay = r;
}

bool relay_allocate(PeerSession* s, const RelayServer& server) {
    // The relay speaks IPv4, as the peers it relays for do.
    platform::Endpoint addresses[8];
    std::size_t found = 0;
    std::uint32_t ip = 0;
    if (platform::resolve_addresses(server.host, addresses, 8, &found)) {
        for (std::size_t i = 0; i < found && ip == 0; ++i) ip = addresses[i].ip;  // 0 for IPv6
    }
    if (ip == 0) {
        tell(&s->console, Event::relay_not_found, {.text = server.host});
        return false;
    }
    relay_open(s, platform::Endpoint{ip, server.port}, server.user, server.password);
    Relay* r = s->relay;

    TurnResponse response{};
    int why = 0;
    if (!transact(r, TurnRequest{kTurnAllocate, kLifetimeS, {0, 0}, 0}, kSends, &response, &why) ||
        response.relayed.port == 0) {
        if (why == 0) {
            tell(&s->console, Event::relay_unanswered, {.at = r->server});
        } else if (why == kErrorUnauthenticated) {
            tell(&s->console, Event::relay_refused_user);
        } else {
            tell(&s->console, Event::relay_refused, {.number = why});
        }
        free_relay(s);
        return false;
    }
    const std::uint32_t now = platform::tick_ms();
    const std::uint32_t lifetime = response.lifetime != kNoLifetime ? response.lifetime : kLifetimeS;
    r->tasks[kRefresh] = Task{{kTurnRefresh, kLifetimeS, {0, 0}, 0}, true, false, {}, now, true, now,
                              refresh_every(lifetime)};
    s->relayed = response.relayed;
    s->relay_sock = r->sock;
    tell(&s->console, Event::relay_address, {.at = response.relayed});
    return true;
}

void relay_release(PeerSession* s) {
    if (s->relay == nullptr) return;
    TurnResponse response{};
    int why = 0;
    if (s->relayed.port != 0) {
        transact(s->relay, TurnRequest{kTurnRefresh, 0, {0, 0}, 0}, kSendsAtEnd, &response, &why);
    }
    free_relay(s);
}

bool from_relay(const PeerSession* s, platform::Endpoint from) {
    return s->relay != nullptr && platform::same_endpoint(from, s->relay->server);
}

bool relay_receive(PeerSession* s, const std::uint8_t* data, std::size_t size,
                   const std::uint8_t** payload, std::size_t* payload_size, platform::Endpoint* peer) {
    Relay* r = s->relay;
    platform::lock_enter(&r->lock);
    std::uint16_t channel = 0;
    bool carried = false;
    if (turn_read_channel_data(data, size, &channel, payload, payload_size)) {
        // Only the channel we bound, to the peer we bound it to.
        carried = r->bound && channel == r->tasks[kChannel].request.channel;
        *peer = r->peer;
    } else if (!turn_read_data(data, size, peer, payload, payload_size)) {
        const std::uint32_t now = platform::tick_ms();
        for (Task& t : r->tasks) {
            TurnResponse response{};
            if (!t.waiting || !turn_read_response(data, size, t.id, r->credentials, &response)) continue;
            t.waiting = false;
            if (response.error == 0 || t.challenges == kChallengesInARow || !take_challenge(r, response)) {
                // A refusal is asked again in a while, as a success is renewed.
                t.done = true;
                t.done_at = now;
                t.challenges = 0;
            } else {
                ++t.challenges;
                send_task(r, &t, now);
            }
            if (response.error == 0 && &t == &r->tasks[kChannel]) r->bound = true;
            if (response.error == 0 && &t == &r->tasks[kRefresh] && response.lifetime != kNoLifetime) {
                t.every_ms = refresh_every(response.lifetime);
            }
        }
    } else {
        // Before we asked for a permission, or from another address than the peer's, the server
        // forwards nothing: such an indication is forged.
        carried = (r->chosen.load() || r->admitted) && platform::same_address(*peer, r->peer);
    }
    platform::lock_leave(&r->lock);
    return carried;
}

void relay_choose(PeerSession* s) {
    Relay* r = s->relay;
    if (r == nullptr) return;
    platform::lock_enter(&r->lock);
    const std::uint32_t now = platform::tick_ms();
    r->peer = peer_endpoint(s);
    move_channel(r, r->peer);
    const Task& bound = r->tasks[kChannel];
    const std::uint16_t channel = bound.on ? bound.request.channel : kFirstChannel;
    r->tasks[kPermission] = Task{{kTurnCreatePermission, kNoLifetime, r->peer, 0}, true, false, {},
                                 now, false, now, kPermissionEveryMs};
    r->tasks[kChannel] = Task{{kTurnChannelBind, kNoLifetime, r->peer, channel}, true, false,
                              {}, now, false, now, kPermissionEveryMs};
    r->chosen.store(true);
    r->admitted = true;  // and stays so: the permission is kept until the end
    platform::lock_leave(&r->lock);
    relay_tick(s);
}

void relay_leave(PeerSession* s) {
    if (s->relay != nullptr) s->relay->chosen.store(false);
}

void relay_admit(PeerSession* s, platform::Endpoint peer) {
    Relay* r = s->relay;
    if (r == nullptr) return;
    platform::lock_enter(&r->lock);
    r->peer = peer;
    r->tasks[kPermission] = Task{{kTurnCreatePermission, kNoLifetime, peer, 0}, true, false, {},
                                 platform::tick_ms(), false, 0, kPermissionEveryMs};
    r->admitted = true;
    platform::lock_leave(&r->lock);
    relay_tick(s);
}

bool relay_chosen(const PeerSession* s) { return s->relay != nullptr && s->relay->chosen.load(); }

void relay_send(PeerSession* s, const void* data, std::size_t size, platform::Endpoint to) {
    Relay* r = s->relay;
    std::uint8_t message[4096 + 64];
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    platform::lock_enter(&r->lock);
    Task& channel = r->tasks[kChannel];
    std::size_t n = 0;
    if (r->bound && platform::same_endpoint(to, r->peer)) {
        n = turn_build_channel_data(channel.request.channel, bytes, size, message, sizeof message);
    } else {
        n = turn_build_send(to, bytes, size, message, sizeof message);
        // The peer has moved to another port: a channel of its own (move_channel sees whether it has).
        if (channel.on && platform::same_address(to, r->peer)) {
            r->peer = to;
            move_channel(r, to);
        }
    }
    if (n > 0) platform::send_to(r->sock, message, n, r->server);
    platform::lock_leave(&r->lock);
}

std::uint32_t relay_tick(PeerSession* s) {
    Relay* r = s->relay;
    if (r == nullptr) return platform::kForever;
    platform::lock_enter(&r->lock);
    const std::uint32_t now = platform::tick_ms();
    std::uint32_t next = platform::kForever;
    for (Task& t : r->tasks) {
        if (!t.on) continue;
        const std::uint32_t wait = t.waiting ? platform::left_of(kResendMs, t.sent_at, now)
                                   : t.done  ? platform::left_of(t.every_ms, t.done_at, now)
                                             : 0;
        if (wait == 0 && send_task(r, &t, now)) {
            next = std::min(next, kResendMs);
        } else {
            next = std::min(next, std::max<std::uint32_t>(wait, 1));
        }
    }
    platform::lock_leave(&r->lock);
    return next;
}
