#include "app/peer_entry.h"

#include <cstring>
#include <string>

#include "address/address_text.h"
#include "app/terminal_chat.h"
#include "console/events.h"
#include "session/session.h"

PeerLine own_peer_line(const PeerSession* s) {
    PeerLine line{};
    // Port 0: not known.
    const platform::Endpoint lan = s->found.lan.ip != 0 ? s->found.lan : platform::Endpoint{0, 0};
    // The router's mapping shares the STUN servers' address (it is used only then), so it stands
    // right after their endpoint, as the further endpoint on that address.
    for (const platform::Endpoint& e : {s->found.mapped, s->found.portmapped, s->found.public6, lan}) {
        bool known = e.port == 0;
        for (std::size_t i = 0; i < line.count; ++i) known = known || platform::same_endpoint(line.candidates[i], e);
        if (!known) line.candidates[line.count++] = e;
    }
    line.tagged = true;
    std::memcpy(line.tag, s->peer.own_tag, sizeof line.tag);
    line.relayed = s->relayed;  // last, as the path of last resort
    return line;
}

void print_peer_line(const PeerSession* s) {
    char own[kPeerLineSize];
    format_peer_line(own_peer_line(s), own);
    std::printf("Your peer line: %s\n", own);
}

namespace {

// The answers typed at a terminal: the address or peer line (one too long for `peer_ip` as an
// empty one, which nothing takes), then the port unless a peer line came.
PeerEntry typed_peer_info(PeerSession* s, const std::string& typed, char peer_ip[kPeerIpSize],
                          std::uint16_t* peer_port, std::FILE* in) {
    const bool fits = typed.size() < kPeerIpSize;
    std::memcpy(peer_ip, fits ? typed.c_str() : "", fits ? typed.size() + 1 : 1);
    if (looks_like_peer_line(typed.c_str())) return PeerEntry{.as_line = true, .typed = true};
    platform::Endpoint address{0, 0};
    if (!parse_address(peer_ip, &address) || !is_unicast(address)) {
        *peer_port = 1;  // any port: the address is refused, and asked again before the port
        return PeerEntry{.typed = true};
    }
    std::string port;
    if (ask_at_terminal(&s->console, in, "Enter peer port: ", &port) != Asked::line) return PeerEntry{.ended = true};
    *peer_port = parse_port_text(port.c_str());
    return PeerEntry{.typed = true};
}

}  // namespace

PeerEntry ask_peer_info(PeerSession* s, char peer_ip[kPeerIpSize], std::uint16_t* peer_port, std::FILE* in) {
    std::string typed;
    const Asked asked = ask_at_terminal(&s->console, in, "Enter peer IP address: ", &typed);
    if (asked == Asked::ended) return PeerEntry{.ended = true};
    if (asked == Asked::line) return typed_peer_info(s, typed, peer_ip, peer_port, in);
    char line[kPeerIpSize];
    std::printf("Enter peer IP address: ");
    std::fflush(stdout);
    if (std::fgets(line, sizeof line, in) != nullptr) {
        std::size_t n = std::strlen(line);
        const bool whole = (n > 0 && line[n - 1] == '\n') || std::feof(in);
        if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
        const bool as_line = looks_like_peer_line(line);
        // Longer than any address or peer line: the rest is read away, and the whole refused.
        for (int c = 0; !whole && c != '\n' && c != EOF;) c = std::fgetc(in);
        if (!whole) line[0] = '\0';
        std::memcpy(peer_ip, line, std::strlen(line) + 1);
        if (as_line) return PeerEntry{.as_line = true};
    }

    std::printf("Enter peer port: ");
    std::fflush(stdout);
    if (std::fgets(line, sizeof line, in) != nullptr) *peer_port = parse_port_text(line);
    return PeerEntry{};
}

PeerEntry prompt_peer_info(PeerSession* s, char peer_ip[kPeerIpSize], std::uint16_t* peer_port,
                           std::FILE* in) {
    const char* separator = "==============================================\n";
    std::printf("\n%s", separator);
    std::printf("YOUR CONNECTION INFO:\n");
    std::printf("%s", separator);
    char address[kAddressTextSize];
    if (s->found.lan.ip != 0) {
        format_address(s->found.lan, address);
        std::printf("For peer on SAME LOCAL NETWORK:\n");
        std::printf("  IP:   %s\n", address);
        std::printf("  Port: %u\n", static_cast<unsigned>(s->found.lan.port));
        std::printf("\n");
    }
    std::printf("For peer on SAME COMPUTER (localhost):\n");
    std::printf("  IP:   127.0.0.1\n");
    std::printf("  Port: %u\n", static_cast<unsigned>(s->found.lan.port));
    std::printf("\n");
    std::printf("For peer on DIFFERENT NETWORK (internet):\n");
    if (s->found.mapped.port != 0) {
        format_address(s->found.mapped, address);
        std::printf("  IP:   %s\n", address);
        std::printf("  Port: %u\n", static_cast<unsigned>(s->found.mapped.port));
    } else {
        std::printf("  IP:   unknown (no STUN server asked)\n");
    }
    char endpoint[kEndpointTextSize];
    if (s->found.public6.v6 && !s->found.mapped.v6) {
        format_endpoint(s->found.public6, endpoint);
        std::printf("  IPv6: %s\n", endpoint);
    }
    if (s->found.portmapped.port != 0) {
        const Detail mapped{.at = s->found.portmapped, .number = s->found.portmap_kind};
        std::printf("  %s", words_for(Event::portmap_mapped, mapped).c_str());
    }
    if (s->relayed.port != 0) {
        format_endpoint(s->relayed, endpoint);
        std::printf("  Relayed address: %s\n", endpoint);
    }
    std::printf("%s", separator);
    print_peer_line(s);
    std::printf("Send your peer this whole line, and paste theirs at \"Enter peer IP address:\":\n"
                "natchat then tries every path between you at once.\n");
    std::printf("\nIMPORTANT: For NAT traversal to work, both peers\n");
    std::printf("must start sending packets at roughly the same time!\n");
    std::printf("Coordinate with your peer before proceeding.\n\n");

    return ask_peer_info(s, peer_ip, peer_port, in);
}
