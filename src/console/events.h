// What happens, as the rest of natchat reports it, and the one place that words it for the user.
// Protocol code says what happened and with what; only words.cpp knows the sentences, so the
// output can change form (an input line kept whole, colour) without touching the protocol.
#pragma once

#include <cstdint>
#include <string>

#include "address/address_text.h"
#include "console/output.h"
#include "platform/platform.h"

// The kinds of path to the peer, best first.
enum class PathKind : std::uint8_t { lan, ipv6, ipv4, relay };  // relay: the peer's relayed address

enum class Event : std::uint8_t {
    // The socket, at start-up.
    socket_library_failed,
    socket_failed,
    port_in_use,       // number: the port
    bind_failed,
    local_port,        // number: the port
    lan_address,       // at
    lan_unknown,
    thread_failed,     // text: which thread
    // Discovery.
    stun_asking,
    stun_retry,        // number: the attempt that failed
    stun_unresolved,
    stun_unanswered,
    stun_way_on,       // text: the servers as "HOST:PORT, ..."; number: 1 when they resolved
    stun_not_asked,
    external_address,  // at
    external_ipv6,     // at
    nat_verdict,       // nat; count: servers asked over IPv4, 0 when none answered there;
                       // number: IPv6 0 unanswered, 1 untranslated, 2 translated
    portmap_mapped,    // at: our router's mapping; number: 0 PCP, 1 NAT-PMP, 2 UPnP
    portmap_unused,    // the router's external address is not the one the STUN servers saw
    // The relay.
    relay_not_found,   // text: the host
    relay_unanswered,  // at
    relay_refused_user,
    relay_refused,     // number: the error code
    relay_address,     // at
    // Opening the path.
    attempting,        // text: the endpoints tried
    first_packet,
    progress_heard,    // number: seconds; count: datagrams received
    progress_punching, // number: seconds; count: attempts
    port_not_peer,
    timed_out,
    too_few_came,
    nothing_symmetric,
    nothing_came,      // at: our public endpoint (port 0 when unknown)
    connected_relay,   // at: the relayed address
    connected_over,    // path, at
    established,
    // Who the peer is and where.
    path_moved,        // path, at
    relay_left,        // path, at: a direct path opened, and the relay stays for a fall-back
    relay_back,        // at: the relayed address; the direct way went quiet
    port_learned,      // number: the port; count: 1 once the chat runs
    typed_speaks,      // at: the typed endpoint
    // The chat.
    chat_connected,
    peer_line,         // text: the line as shown
    peer_silent,
    peer_left,
    peer_back,
    receive_error,     // number: the system's error code
    // The secure session.
    encrypted,         // text: the security code
    not_encrypted,
    late_offer,
    renewing,
    not_confirmed,
    no_offer_secure_only,
    no_offer_elsewhere,
    no_agreement,
    lines_sent_plain,  // count; text: the first line
    lines_not_sent,    // count; text: the first line
    lines_unconfirmed, // count; text: the first line
    lines_still_sending,  // count; text: the first line
    not_sent_left,
    not_sent_no_session,
    crypto_library,    // text: what the library said
    output_dropped,    // count: texts the console could not take
};

struct Detail {
    platform::Endpoint at{0, 0};
    std::uint64_t count = 0;
    std::int64_t number = 0;
    const char* text = "";
    PathKind path = PathKind::ipv4;
    NatKind nat = NatKind::unknown;
};

// The sentence for `event`, exactly as the user sees it.
std::string words_for(Event event, const Detail& detail = {});

// Words `event` and hands it to the console.
void tell(Console* console, Event event, const Detail& detail = {});

// The same, for a caller that holds the console's lock: what the user is told about the peer
// changes together with its notice.
void tell_locked(Console* console, Event event, const Detail& detail = {});
