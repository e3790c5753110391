#include <cstdarg>
#include <cstdio>

#include "console/events.h"

namespace {

[[gnu::format(printf, 1, 2)]] std::string formatted(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, again);
    va_end(again);
    return out;
}

std::string endpoint_text(const platform::Endpoint& at) {
    char text[kEndpointTextSize];
    format_endpoint(at, text);
    return text;
}

unsigned port_of(const Detail& d) { return static_cast<unsigned>(d.number); }

const char* path_name(PathKind path) {
    static const char* const kNames[] = {"the LAN", "IPv6", "IPv4", "the peer's relay"};
    return kNames[static_cast<int>(path)];
}

const char* verdict_text(NatKind nat, std::uint64_t asked) {
    switch (nat) {
        case NatKind::none: return "NAT: none (this computer's address is public)";
        case NatKind::cone: return "NAT: cone (the same public port for every destination)";
        case NatKind::symmetric: return "NAT: symmetric (a new public port for every destination)";
        default:
            if (asked == 0) return "NAT: unknown (no STUN server answered over IPv4)";
            return asked > 1 ? "NAT: unknown (only one STUN server answered)"
                             : "NAT: unknown (only one STUN server was asked)";
    }
}

// The sentences with no detail in them.
const char* fixed_words(Event event) {
    switch (event) {
        case Event::socket_library_failed: return "WSAStartup failed\n";
        case Event::socket_failed: return "Socket creation failed\n";
        case Event::bind_failed: return "Bind failed\n";
        case Event::lan_unknown: return "Could not determine local LAN IP\n";
        case Event::stun_asking: return "Discovering external address via STUN...\n";
        case Event::stun_unresolved: return "Failed to resolve STUN server\n";
        case Event::stun_unanswered: return "Failed to discover external address\n";
        case Event::stun_not_asked: return "NAT: unknown (no STUN server asked)\n";
        case Event::portmap_unused: return "the router's mapping is behind another NAT: not used\n";
        case Event::relay_refused_user:
            return "The TURN server refused the user name or password: going on without a relay\n";
        case Event::first_packet: return "\nFirst packet received! Confirming connection stability...\n";
        case Event::port_not_peer:
            return "The port that answered offers no secure session: it is not the peer's. Punching on...\n";
        case Event::timed_out: return "\nConnection timeout after 60 seconds\n";
        case Event::too_few_came:
            return "Some datagrams came from the peer, but too few for a steady path.\n"
                   "The network between you may lose too much; try again.\n";
        case Event::nothing_symmetric:
            return "Nothing came from the peer. Our NAT is symmetric, and the peer's most likely "
                   "is too: no direct path opens between two such NATs.\n"
                   "What would help: one of you on another network (a home line rather than a "
                   "mobile one), or a port forwarded on one of the routers.\n";
        case Event::established:
            return "\nConnection successfully established!\nType messages and press Enter to send.\n"
                   "Type 'quit' to exit.\n\n";
        case Event::chat_connected: return "\n[Connection established!]\n> ";
        case Event::peer_silent: return "\n[Nothing heard from the peer for 15 seconds]\n> ";
        case Event::peer_left: return "\n[The peer has left the chat]\n> ";
        case Event::peer_back: return "\n[The peer is back]\n> ";
        case Event::not_encrypted:
            return "\nThis chat is NOT encrypted: the peer's program does not offer a secure session.\n> ";
        case Event::late_offer:
            return "\nThe peer's program offers a secure session after all: the lines before this went "
                   "unencrypted.\n> ";
        case Event::renewing:
            return "\nThe peer's program started again: a new secure session is being agreed. Compare "
                   "its new security code with your peer again.\n> ";
        case Event::not_confirmed:
            return "\n[The peer has not confirmed the secure session: it may not see your lines. "
                   "Someone may be interfering.]\n> ";
        case Event::no_offer_secure_only:
            return "\nThe peer's program does not offer a secure session, and --secure-only allows no "
                   "plain text: the chat ends.\n";
        case Event::no_offer_elsewhere:
            return "\nNo secure session is offered where the peer answers, and plain text may not go "
                   "there (the peer line you were given says the peer offers one, or the port is not "
                   "one you gave): someone may be interfering. Nothing is sent; type 'quit' to leave.\n> ";
        case Event::no_agreement:
            return "\nNo secure session could be agreed with the peer, although its program offers "
                   "one: someone may be interfering. Nothing more is sent; type 'quit' to leave.\n> ";
        case Event::not_sent_left: return "[Not sent: the peer has left the chat]\n";
        case Event::not_sent_no_session: return "[Not sent: there is no secure session with the peer]\n";
        default: return nullptr;
    }
}

// Lines that did not make it: how many, and an excerpt of the first, shown safely.
std::string lines_words(Event event, const Detail& d) {
    const auto count = static_cast<unsigned long long>(d.count);
    switch (event) {
        case Event::lines_sent_plain:
            return formatted("\n[%llu line(s) sent unencrypted, from \"%s\" on: the peer may not have shown "
                             "them]\n> ", count, d.text);
        case Event::lines_not_sent:
            return formatted("\n[%llu line(s) not sent, from \"%s\" on: no secure session]\n> ", count, d.text);
        case Event::lines_unconfirmed:
            return formatted("\n[The peer did not confirm %llu line(s), from \"%s\" on]\n> ", count, d.text);
        default:
            return formatted("\n[The peer has not confirmed %llu line(s) for 30 seconds, from \"%s\" on: still "
                             "sending]\n> ", count, d.text);
    }
}

// The socket, discovery and the relay, at start-up.
std::string startup_words(Event event, const Detail& d) {
    switch (event) {
        case Event::port_in_use:
            return formatted("Port %u is in use (another program, or another natchat, has it): give "
                             "another with --port, or leave --port out\n", port_of(d));
        case Event::local_port: return formatted("Local port: %u\n", port_of(d));
        case Event::lan_address: {
            char lan[kIpv4TextSize];
            format_ipv4(d.at.ip, lan);
            return formatted("Local LAN IP: %s\n", lan);
        }
        case Event::thread_failed: return formatted("Could not start the %s thread\n", d.text);
        case Event::stun_retry: return formatted("STUN attempt %d failed, retrying...\n", static_cast<int>(d.number));
        case Event::stun_way_on:
            return formatted("%s %s.\nFor a chat on this LAN start natchat with --no-stun; or ask another "
                             "STUN server with --stun HOST[:PORT].\n",
                             d.number != 0 ? "No answer from" : "Could not resolve", d.text);
        case Event::external_address: return "External address: " + endpoint_text(d.at) + "\n";
        case Event::external_ipv6: return "External IPv6 address: " + endpoint_text(d.at) + "\n";
        case Event::portmap_mapped: {
            static const char* const kProtocols[] = {"PCP", "NAT-PMP", "UPnP"};
            return "Mapped address: " + endpoint_text(d.at) + " (" + kProtocols[d.number % 3] + ")\n";
        }
        case Event::nat_verdict: {
            static const char* const kIpv6[] = {"", "; IPv6: no translation", "; IPv6: translated"};
            return std::string(verdict_text(d.nat, d.count)) + kIpv6[d.number] + "\n";
        }
        case Event::relay_not_found:
            return formatted("TURN server %s not found: going on without a relay\n", d.text);
        case Event::relay_unanswered:
            return "No answer from the TURN server at " + endpoint_text(d.at) + ": going on without a relay\n";
        case Event::relay_refused:
            return formatted("The TURN server refused the allocation (error %d): going on without a relay\n",
                             static_cast<int>(d.number));
        case Event::relay_address: return "Relayed address: " + endpoint_text(d.at) + "\n";
        default: return {};
    }
}

// Opening the path, and where it goes.
std::string path_words(Event event, const Detail& d) {
    switch (event) {
        case Event::attempting:
            return formatted("\nAttempting to connect to %s...\nPerforming UDP hole punching...\n"
                             "NOTE: Both peers must start at roughly the same time!\n\n", d.text);
        case Event::progress_heard:
            return formatted("Connection in progress... (%d sec, %llu packets received)\n",
                             static_cast<int>(d.number), static_cast<unsigned long long>(d.count));
        case Event::progress_punching:
            return formatted("Still punching... (%d sec, %d attempts)\n", static_cast<int>(d.number),
                             static_cast<int>(d.count));
        case Event::nothing_came: {
            char own[kAddressTextSize] = "";
            if (d.at.port != 0) format_address(d.at, own);
            return formatted("Nothing came from the peer: the address typed may be wrong, or the peer did "
                             "not enter ours (%s:%u) in time.\n"
                             "Check both addresses and start again at about the same time.\n",
                             own, static_cast<unsigned>(d.at.port));
        }
        case Event::connected_relay: return "\nConnected through the relay at " + endpoint_text(d.at) + "\n";
        case Event::connected_over:
            return formatted("\nConnected over %s to %s\n", path_name(d.path), endpoint_text(d.at).c_str());
        case Event::path_moved:
            return formatted("\n[The chat now goes over %s to %s]\n> ", path_name(d.path),
                             endpoint_text(d.at).c_str());
        case Event::relay_left:
            return formatted("\n[A direct path opened: the chat now goes over %s to %s, no longer through the relay]\n> ",
                             path_name(d.path), endpoint_text(d.at).c_str());
        case Event::relay_back:
            return "\n[Nothing comes directly from the peer: the chat goes through the relay at " + endpoint_text(d.at) + " again]\n> ";
        case Event::port_learned:
            return formatted("\nThe peer answers from port %u: sending there from now on\n%s", port_of(d),
                             d.count != 0 ? "> " : "");
        case Event::typed_speaks:
            return "\n[Datagrams come from the address you typed, " + endpoint_text(d.at) +
                   ", while the chat runs with another port of it: compare the security code with "
                   "your peer by voice]\n> ";
        default: return {};
    }
}

// The chat and its secure session.
std::string chat_words(Event event, const Detail& d) {
    switch (event) {
        case Event::peer_line: return std::string("\n[Peer]: ") + d.text + "\n> ";
        case Event::output_dropped:
            return formatted("\n[%llu messages were not shown: the console took no output for too long]\n> ",
                             static_cast<unsigned long long>(d.count));
        case Event::receive_error: return formatted("\nReceive error: %d\n", static_cast<int>(d.number));
        case Event::encrypted:
            return formatted("\nThis chat is encrypted.\nSecurity code: %s\nRead the code to your peer by "
                             "voice: if the two codes differ, someone is in between.\n> ", d.text);
        case Event::crypto_library: {
            const std::string said = d.text;
            return "The cryptographic library reports: " + said + (said.find('\n') != std::string::npos ? "" : "\n");
        }
        default: return lines_words(event, d);
    }
}

}  // namespace

std::string words_for(Event event, const Detail& d) {
    if (const char* fixed = fixed_words(event)) return fixed;
    if (std::string said = startup_words(event, d); !said.empty()) return said;
    if (std::string said = path_words(event, d); !said.empty()) return said;
    return chat_words(event, d);
}

void tell(Console* console, Event event, const Detail& detail) {
    safe_print(console, words_for(event, detail).c_str());
}

void tell_locked(Console* console, Event event, const Detail& detail) {
    console_write(console, words_for(event, detail).c_str());
}
