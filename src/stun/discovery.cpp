#include "stun/discovery.h"

#include <algorithm>
#include <cstdio>

#include "sockets/sockets.h"
#include "address/address_text.h"
#include "console/events.h"
#include "stun/binding.h"

namespace {

constexpr int kAttempts = 5;
constexpr std::uint32_t kAnswerWaitMs = 2000;
// Once one server has answered, the others get this much longer: a silent one must not hold up
// the start.
constexpr std::uint32_t kOthersGraceMs = 500;
// Of each family.
constexpr std::size_t kMaxAddresses = 4;

struct Asked {
    platform::Endpoint to;
    bool answered;
    platform::Endpoint mapped;
    bool unreachable;  // no route there (IPv6 on a computer without it): not waited for
};

// Distinct addresses over every server's name, in order, at most kMaxAddresses of each family
// (IPv6 ones only when this computer speaks IPv6), the IPv4 ones first.
std::size_t resolve_all(const StunServer* servers, std::size_t count, Asked* asked) {
    Asked ipv6[kMaxAddresses];
    std::size_t n = 0, n6 = 0;
    for (std::size_t i = 0; i < count; ++i) {
        platform::Endpoint addresses[2 * kMaxAddresses];
        std::size_t found = 0;
        if (!platform::resolve_addresses(servers[i].host, addresses, 2 * kMaxAddresses, &found)) continue;
        for (std::size_t k = 0; k < found; ++k) {
            platform::Endpoint to = addresses[k];
            to.port = servers[i].port;
            Asked* list = to.v6 ? ipv6 : asked;
            std::size_t& size = to.v6 ? n6 : n;
            bool known = to.v6 && !platform::has_ipv6();
            for (std::size_t j = 0; j < size; ++j) known = known || platform::same_endpoint(list[j].to, to);
            if (!known && size < kMaxAddresses) list[size++] = Asked{to, false, {}, false};
        }
    }
    std::copy(ipv6, ipv6 + n6, asked + n);
    return n + n6;
}

// Takes what arrives until `until` (a tick), or until `done` holds; answers count only from the
// address they were asked at.
template <typename Done>
void receive_answers(platform::Socket sock, const std::uint8_t id[kTransactionIdSize],
                     Asked* asked, std::size_t count, std::uint32_t until, Done done) {
    for (;;) {
        const std::uint32_t left = until - platform::tick_ms();
        // Past the deadline the difference wraps far beyond any wait.
        if (done() || left > kAnswerWaitMs || !platform::wait_readable(sock, left)) return;
        std::uint8_t buffer[2048];
        platform::Endpoint from{0, 0};
        const platform::RecvResult r = platform::recv_from(sock, buffer, sizeof buffer, &from);
        // An oversized datagram is no answer of ours; the decoder refuses anything else that is none.
        if (r.status != platform::RecvStatus::ok) continue;
        for (std::size_t i = 0; i < count; ++i) {
            Asked& a = asked[i];
            if (!a.answered && platform::same_endpoint(from, a.to)) {
                a.answered = parse_binding_response(buffer, static_cast<std::int32_t>(r.bytes), id,
                                                    a.to.v6, &a.mapped);
            }
        }
    }
}

// After a failure: which servers, and the way on.
void say_way_on(Console* console, const StunServer* servers, std::size_t count, bool resolved) {
    std::string names;
    for (std::size_t i = 0; i < count; ++i) {
        names += (i == 0 ? "" : ", ") + std::string(servers[i].host) + ":" + std::to_string(servers[i].port);
    }
    tell(console, Event::stun_way_on, {.number = resolved ? 1 : 0, .text = names.c_str()});
}

}  // namespace

void find_local_endpoints(PeerSession* s) {
    // Routing picks the addresses toward these; nothing is sent to them.
    const platform::Endpoint internet{0xC0000201, 0};  // 192.0.2.1
    platform::Endpoint internet6{0, 0, true};
    platform::parse_ipv6("2001:db8::1", internet6.ip6);
    report_lan_address(s, &internet);
    platform::Endpoint own6{0, 0};
    // A global address only: a link-local one needs a zone, a unique local one stays on its site.
    if (platform::has_ipv6() && platform::source_ip_toward(internet6, &own6) && own6.v6 &&
        is_unicast(own6) && (own6.ip6[0] & 0xFE) != 0xFC) {
        own6.port = s->found.lan.port;
        s->found.public6 = own6;
    }
    tell(&s->console, Event::stun_not_asked);
}

NatKind nat_verdict(platform::Endpoint local, const platform::Endpoint* mapped, std::size_t count) {
    bool unmapped = count > 0, alike = true;
    for (std::size_t i = 0; i < count; ++i) {
        unmapped = unmapped && platform::same_endpoint(mapped[i], local);
        alike = alike && platform::same_endpoint(mapped[i], mapped[0]);
    }
    if (unmapped) return NatKind::none;
    if (count < 2) return NatKind::unknown;
    return alike ? NatKind::cone : NatKind::symmetric;
}

namespace {

std::size_t count_answers(const Asked* asked, std::size_t n) {
    std::size_t answers = 0;
    for (std::size_t i = 0; i < n; ++i) answers += asked[i].answered ? 1 : 0;
    return answers;
}

// Asks every address at once, and again those still silent, up to kAttempts times, two seconds
// apart, saying so for the primary; once one has answered, the others get a short while more.
// True once any has answered.
bool ask_all(Console* console, platform::Socket sock, Asked* asked, std::size_t n) {
    std::uint8_t request[kStunHeaderSize];
    std::int32_t length = 0;
    std::uint8_t id[kTransactionIdSize];
    if (!build_binding_request(request, &length, id)) return false;
    const auto ask_the_silent = [&] {
        for (std::size_t i = 0; i < n; ++i) {
            if (asked[i].answered || asked[i].unreachable) continue;
            const platform::SendStatus sent =
                platform::send_to(sock, request, static_cast<std::size_t>(length), asked[i].to);
            asked[i].unreachable = asked[i].to.v6 && sent == platform::SendStatus::failed;
        }
    };
    const auto reachable = [&] {
        std::size_t count = 0;
        for (std::size_t i = 0; i < n; ++i) count += asked[i].unreachable ? 0 : 1;
        return count;
    };
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        ask_the_silent();
        receive_answers(sock, id, asked, n, platform::tick_ms() + kAnswerWaitMs,
                        [&] { return asked[0].answered; });
        if (count_answers(asked, n) > 0) {
            // The rest get a short while more. When the primary was the one silent all along,
            // they also get another request: a server may have been slow to start.
            if (!asked[0].answered) ask_the_silent();
            receive_answers(sock, id, asked, n, platform::tick_ms() + kOthersGraceMs,
                            [&] { return count_answers(asked, n) == reachable(); });
            return true;
        }
        if (attempt < kAttempts) {
            tell(console, Event::stun_retry, {.number = attempt});
        }
    }
    return false;
}

// What the answers say, each family apart: the verdict on the NAT is IPv4's, and IPv6's is told
// beside it. The primary is the first IPv4 server to answer; IPv6 stands in only when no IPv4 one
// did. At least one has answered, over the family it was asked in.
void take_findings(PeerSession* s, const Asked* asked, std::size_t n) {
    platform::Endpoint mapped[2][kMaxAddresses];
    std::size_t answers[2] = {0, 0}, asked_of[2] = {0, 0};
    const Asked* first[2] = {nullptr, nullptr};
    for (std::size_t i = 0; i < n; ++i) {
        const int family = asked[i].to.v6 ? 1 : 0;
        ++asked_of[family];
        if (!asked[i].answered) continue;
        if (first[family] == nullptr) first[family] = &asked[i];
        mapped[family][answers[family]++] = asked[i].mapped;
    }
    NatKind verdict[2] = {NatKind::unknown, NatKind::unknown};
    for (int family = 0; family < 2; ++family) {
        if (first[family] == nullptr) continue;
        platform::Endpoint local{0, 0};
        platform::source_ip_toward(first[family]->to, &local);
        platform::local_port(s->sockets.sock, &local.port);
        verdict[family] = nat_verdict(local, mapped[family], answers[family]);
    }
    const Asked* chosen = first[0] != nullptr ? first[0] : first[1];
    s->found.mapped = chosen->mapped;
    s->found.stun_server = chosen->to;
    s->found.nat = verdict[0];
    if (first[1] != nullptr) s->found.public6 = first[1]->mapped;
    tell(&s->console, Event::external_address, {.at = chosen->mapped});
    if (first[0] != nullptr && first[1] != nullptr) tell(&s->console, Event::external_ipv6, {.at = s->found.public6});
    const int ipv6 = first[1] == nullptr ? 0 : verdict[1] == NatKind::none ? 1 : 2;
    tell(&s->console, Event::nat_verdict,
         {.count = first[0] != nullptr ? asked_of[0] : 0, .number = ipv6, .nat = s->found.nat});
}

}  // namespace

bool discover_public_address(PeerSession* s, const StunServer* servers, std::size_t count) {
    Asked asked[2 * kMaxAddresses];
    const std::size_t n = resolve_all(servers, count, asked);
    report_lan_address(s, n > 0 && !asked[0].to.v6 ? &asked[0].to : nullptr);
    tell(&s->console, Event::stun_asking);  // shown at once: the wait that follows can take seconds
    if (n == 0) {
        tell(&s->console, Event::stun_unresolved);
        say_way_on(&s->console, servers, count, false);
        return false;
    }
    if (!ask_all(&s->console, s->sockets.sock, asked, n)) {
        tell(&s->console, Event::stun_unanswered);
        say_way_on(&s->console, servers, count, true);
        return false;
    }
    take_findings(s, asked, n);
    return true;
}
