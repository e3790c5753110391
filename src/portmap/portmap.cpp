#include "portmap/portmap.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "bytes/byte_order.h"
#include "console/events.h"
#include "portmap/pcp.h"
#include "portmap/upnp.h"

namespace {

constexpr std::uint32_t kLifetimeS = 7200;  // as RFC 6886 recommends
// SSDP answers come within milliseconds on a LAN. From the start, a router that has answered
// nothing is given kPatienceMs, beside the STUN exchange: the prompt must not wait long for a
// router that serves nothing.
constexpr std::uint32_t kSearchMs = 150;
constexpr std::uint32_t kPatienceMs = 150;
// A router that has answered SSDP gets this long from the start for the rest of UPnP.
constexpr std::uint32_t kUpnpWaitMs = 6000;
// PCP first; NAT-PMP when PCP has been silent this long, or at once when the router speaks only
// NAT-PMP.
constexpr std::uint32_t kNatPmpAfterMs = 60;
constexpr std::uint32_t kFirstResendMs = 250;
constexpr std::uint32_t kAskMs = 4000;      // at start-up
// A refresh holds up the keepalive thread, which must end within the exit's bound.
constexpr std::uint32_t kRefreshMs = 1000;
constexpr std::uint32_t kDeleteMs = 300;    // at the end, within the exit's bound
// Told to stop, an asking thread asks nothing more but still reads answers this long: a grant of
// what it asked before is then deleted, not left open at the router for hours.
constexpr std::uint32_t kLateMs = 1000;
constexpr int kRouterAsks = 0, kUpnpAsks = 1;

struct Grant {
    bool held;
    MapKind kind;
    platform::Endpoint external;
    std::uint32_t lifetime_s;
    std::uint32_t granted_at;
};

}  // namespace

struct PortMap {
    platform::Endpoint gateway;   // port 5351
    platform::Endpoint internal;  // our address toward it, and the session's port
    std::uint32_t started;        // tick
    std::uint8_t nonce[kPcpNonceSize];
    platform::Lock lock;  // guards what follows, between the asking threads and the rest
    std::atomic<bool> stop;       // nothing more is kept: the first grant was, or none came
    std::atomic<bool> igd_found;  // a router answered SSDP
    std::atomic<int> ended;       // asking threads done
    int winner;                   // kRouterAsks or kUpnpAsks, -1 none
    Grant grants[2];
    UpnpMapping* upnp;
    platform::Thread threads[2];
};

namespace {

// One run of asking the router on port 5351.
struct Ask {
    bool pcp, natpmp;
    std::uint32_t lifetime_s;
    std::uint16_t suggested;
    std::uint32_t limit_ms;
};

struct Heard {
    bool pcp_refused, natpmp_refused, pcp_unsupported, address, port, any;
    MapAnswer pcp, map, address_answer;
};

void send_requests(PortMap* m, platform::Socket sock, const Ask& a, const Heard& h, bool pcp, bool natpmp) {
    if (pcp && !h.pcp_refused) {
        std::uint8_t request[kPcpMapSize];
        pcp_map_request(request, m->internal.ip, m->internal.port, a.suggested, a.lifetime_s, m->nonce);
        platform::send_to(sock, request, sizeof request, m->gateway);
    }
    if (!natpmp || h.natpmp_refused) return;
    if (!h.address) {
        std::uint8_t request[kNatPmpAddressSize];
        natpmp_address_request(request);
        platform::send_to(sock, request, sizeof request, m->gateway);
    }
    std::uint8_t request[kNatPmpMapSize];
    natpmp_map_request(request, m->internal.port, a.suggested, a.lifetime_s);
    platform::send_to(sock, request, sizeof request, m->gateway);
}

// Takes in one datagram from the router's port 5351; anything from elsewhere is no answer.
void take_answer(PortMap* m, const std::uint8_t* data, std::size_t size, platform::Endpoint from, Heard* h) {
    if (!platform::same_endpoint(from, m->gateway)) return;
    h->any = true;
    MapAnswer answer{};
    if (pcp_map_answer(data, size, m->nonce, m->internal.port, &answer)) {
        h->pcp = answer;
        h->pcp_refused = answer.result != 0;
    } else if (natpmp_map_answer(data, size, m->internal.port, &answer)) {
        h->map = answer;
        h->port = answer.result == 0;
        h->natpmp_refused = h->natpmp_refused || answer.result != 0;
    } else if (natpmp_address_answer(data, size, &answer)) {
        h->address_answer = answer;
        h->address = answer.result == 0;
        h->natpmp_refused = h->natpmp_refused || answer.result != 0;
    } else if (size >= 4 && data[0] == 0 && read16(data + 2) == 1) {
        h->pcp_unsupported = true;  // a NAT-PMP router's answer to a version it does not speak
    }
}

// Once we no longer ask (`late`), NAT-PMP's mapping alone is enough: it is only deleted then, and
// its address answer may have been lost.
bool granted(const Ask& a, const Heard& h, bool late, Grant* out) {
    if (a.pcp && h.pcp.result == 0 && h.pcp.external.port != 0) {
        *out = Grant{true, MapKind::pcp, h.pcp.external, h.pcp.lifetime, platform::tick_ms()};
        return true;
    }
    if (a.natpmp && (h.address || late) && h.port) {
        const platform::Endpoint external{h.address_answer.external.ip, h.map.external.port};
        *out = Grant{true, MapKind::natpmp, external, h.map.lifetime, platform::tick_ms()};
        return true;
    }
    return false;
}

// Asks, resends with doubling gaps, and reads answers until a grant, a refusal by every protocol
// asked, `limit_ms`, or kLateMs after `stop`. A deletion (lifetime 0) ends on any answer.
bool ask_router(PortMap* m, const Ask& a, const std::atomic<bool>* stop, Grant* out) {
    const platform::Socket sock = platform::udp_open();
    if (sock == platform::kInvalidSocket) return false;
    const bool ready = platform::set_nonblocking(sock) && platform::bind_any(sock) == platform::BindStatus::ok;
    const std::uint32_t start = platform::tick_ms();
    std::uint32_t next = 0, gap = kFirstResendMs;
    Heard h{};
    h.pcp.result = h.map.result = 1;
    bool done = !ready, natpmp_started = false, asking = true;
    std::uint32_t stopped = 0;  // when told to stop, from the start
    while (!done) {
        const std::uint32_t gone = platform::elapsed(platform::tick_ms(), start);
        if (asking && stop != nullptr && stop->load()) {
            asking = false;
            stopped = gone;
        }
        if (gone >= a.limit_ms || (!asking && gone - stopped >= kLateMs)) break;
        const bool natpmp_due = a.natpmp && (!a.pcp || gone >= kNatPmpAfterMs || h.pcp_unsupported);
        if (asking && (gone >= next || (natpmp_due && !natpmp_started))) {
            const bool resend = gone >= next;
            send_requests(m, sock, a, h, a.pcp && resend, natpmp_due);
            natpmp_started = natpmp_started || natpmp_due;
            if (resend) next = gone + std::exchange(gap, gap * 2);
        }
        platform::wait_readable(sock, 20);
        std::uint8_t data[kPcpMaxSize + 4];
        platform::Endpoint from{0, 0};
        for (int i = 0; i < 16; ++i) {
            const platform::RecvResult r = platform::recv_from(sock, data, sizeof data, &from);
            if (r.status != platform::RecvStatus::ok) break;
            take_answer(m, data, r.bytes, from, &h);
        }
        done = (a.lifetime_s == 0 && h.any) || granted(a, h, !asking, out) ||
               ((!a.pcp || h.pcp_refused) && (!a.natpmp || h.natpmp_refused));
    }
    platform::close_socket(sock);
    return a.lifetime_s != 0 && granted(a, h, !asking, out);
}

void forget(PortMap* m, const Grant& g, UpnpMapping* upnp) {
    if (upnp != nullptr) {
        upnp_unmap(upnp);
    } else if (g.held) {
        Grant unused{};
        const bool pcp = g.kind == MapKind::pcp;
        ask_router(m, Ask{pcp, !pcp, 0, g.external.port, kDeleteMs}, nullptr, &unused);
    }
}

// An asking thread's grant: kept when it is the first, while the main thread still waits;
// otherwise deleted, unless it is the very mapping kept (one router serving two protocols).
void offer(PortMap* m, int who, const Grant& g, UpnpMapping* upnp) {
    platform::lock_enter(&m->lock);
    bool keep = false;
    if (!m->stop.load() && m->winner < 0) {
        m->winner = who;
        m->grants[who] = g;
        m->upnp = upnp;
        keep = true;
    }
    const bool same = m->winner >= 0 && platform::same_endpoint(m->grants[m->winner].external, g.external);
    platform::lock_leave(&m->lock);
    if (keep) return;
    if (!same) {
        forget(m, g, upnp);
    } else if (upnp != nullptr) {
        upnp_forget(upnp);  // the mapping kept: only our hold on it goes
    }
}

int ask_pcp_natpmp(void* arg) {
    auto* m = static_cast<PortMap*>(arg);
    Grant g{};
    if (ask_router(m, Ask{true, true, kLifetimeS, m->internal.port, kAskMs}, &m->stop, &g)) offer(m, kRouterAsks, g, nullptr);
    m->ended.fetch_add(1);
    return 0;
}

int ask_upnp(void* arg) {
    auto* m = static_cast<PortMap*>(arg);
    platform::Endpoint external{0, 0};
    UpnpMapping* upnp = upnp_map(m->gateway.ip, m->internal, kLifetimeS / 2, kSearchMs, &m->igd_found, &m->stop, &external);
    if (upnp != nullptr) {
        offer(m, kUpnpAsks, Grant{true, MapKind::upnp, external, kLifetimeS / 2, platform::tick_ms()}, upnp);
    }
    m->ended.fetch_add(1);
    return 0;
}

}  // namespace

std::uint32_t portmap_refresh_after(std::uint32_t lifetime_s) {
    // A day at most: a router may grant more than a tick counts.
    return std::min<std::uint32_t>(lifetime_s, 24 * 3600) * 500;
}

std::uint32_t portmap_retry_after(std::uint32_t lifetime_s) {
    return std::max<std::uint32_t>(std::min<std::uint32_t>(portmap_refresh_after(lifetime_s), 60000), 500);
}

void portmap_start(PeerSession* s) {
    platform::Endpoint gateway{0, 0};
    if (platform::default_gateway(&gateway)) portmap_ask(s, {gateway.ip, kPcpPort}, true);
}

void portmap_ask(PeerSession* s, platform::Endpoint gateway, bool upnp) {
    platform::Endpoint internal{0, 0};
    if (!platform::source_ip_toward(gateway, &internal) || internal.v6 || !platform::local_port(s->sockets.sock, &internal.port)) {
        return;
    }
    auto* m = new PortMap{};
    m->gateway = gateway;
    m->internal = internal;
    m->winner = -1;
    m->started = platform::tick_ms();
    if (!platform::random_bytes(m->nonce, sizeof m->nonce)) {
        delete m;
        return;
    }
    platform::lock_init(&m->lock);
    s->portmap = m;
    m->ended.store(upnp ? 0 : 1);
    if (!platform::thread_start(&m->threads[kRouterAsks], ask_pcp_natpmp, m)) m->ended.fetch_add(1);
    if (upnp && !platform::thread_start(&m->threads[kUpnpAsks], ask_upnp, m)) m->ended.fetch_add(1);
}

namespace {

// Until a grant, until both have ended, or until the router has had its while: longer once it
// has answered SSDP, as the rest of UPnP takes a few exchanges over HTTP.
void wait_for_grant(PortMap* m) {
    for (;;) {
        platform::lock_enter(&m->lock);
        const bool granted = m->winner >= 0;
        platform::lock_leave(&m->lock);
        const std::uint32_t gone = platform::elapsed(platform::tick_ms(), m->started);
        const bool patient = gone < kPatienceMs || (m->igd_found.load() && gone < kUpnpWaitMs);
        if (granted || m->ended.load() == 2 || !patient) return;
        platform::sleep_ms(5);
    }
}

}  // namespace

void portmap_settle(PeerSession* s) {
    PortMap* m = s->portmap;
    if (m == nullptr) return;
    wait_for_grant(m);
    platform::lock_enter(&m->lock);
    m->stop.store(true);
    Grant g = m->winner >= 0 ? m->grants[m->winner] : Grant{};
    UpnpMapping* upnp = m->upnp;
    const platform::Endpoint seen = s->found.mapped;
    const bool used = g.held && !seen.v6 && seen.port != 0 && seen.ip == g.external.ip;
    if (g.held && !used) {
        // No winner any more: a grant of the same mapping by the other protocol is deleted too.
        m->winner = -1;
        m->upnp = nullptr;
    }
    platform::lock_leave(&m->lock);
    if (!g.held) return;
    if (!used) {
        forget(m, g, upnp);
        tell(&s->console, Event::portmap_unused);
        return;
    }
    s->found.portmapped = g.external;
    s->found.portmap_kind = static_cast<std::uint8_t>(g.kind);
    tell(&s->console, Event::portmap_mapped, {.at = g.external, .number = static_cast<std::int64_t>(g.kind)});
}

std::uint32_t portmap_tick(PeerSession* s) {
    PortMap* m = s->portmap;
    if (m == nullptr || s->found.portmapped.port == 0) return platform::kForever;
    platform::lock_enter(&m->lock);
    Grant& g = m->grants[m->winner];
    const std::uint32_t due = portmap_refresh_after(g.lifetime_s);
    const std::uint32_t left = platform::left_of(due, g.granted_at, platform::tick_ms());
    platform::lock_leave(&m->lock);
    if (left > 0) return left;
    Grant again{};
    const bool pcp = g.kind == MapKind::pcp;
    bool renewed = false;
    if (g.kind == MapKind::upnp) {
        renewed = upnp_refresh(m->upnp, g.lifetime_s);
        again = Grant{true, g.kind, g.external, g.lifetime_s, platform::tick_ms()};
    } else {
        renewed = ask_router(m, Ask{pcp, !pcp, kLifetimeS, g.external.port, kRefreshMs}, nullptr, &again) &&
                  platform::same_endpoint(again.external, g.external);
    }
    platform::lock_enter(&m->lock);
    // Refused, or moved elsewhere: asked again a minute later, while the old one may still hold.
    const std::uint32_t retry = portmap_retry_after(g.lifetime_s);
    g.granted_at = renewed ? again.granted_at : platform::tick_ms() - due + retry;
    if (renewed) g.lifetime_s = again.lifetime_s;
    const std::uint32_t wait = renewed ? portmap_refresh_after(g.lifetime_s) : retry;
    platform::lock_leave(&m->lock);
    return wait;
}

void portmap_release(PeerSession* s) {
    PortMap* m = s->portmap;
    if (m == nullptr) return;
    s->portmap = nullptr;
    m->stop.store(true);
    bool ended = true;
    for (platform::Thread& t : m->threads) {
        ended = platform::thread_wait(t, kDeleteMs) && ended;
        platform::thread_close(&t);
    }
    platform::lock_enter(&m->lock);
    const Grant g = m->winner >= 0 ? m->grants[m->winner] : Grant{};
    UpnpMapping* upnp = m->upnp;
    m->winner = -1;
    m->upnp = nullptr;
    platform::lock_leave(&m->lock);
    if (g.held) forget(m, g, upnp);
    // A thread still asking keeps the record: it may yet offer a grant, and deletes it then.
    if (!ended) return;
    platform::lock_destroy(&m->lock);
    delete m;
}
