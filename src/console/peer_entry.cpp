#include "console/peer_entry.h"

#include <cstring>

#include "shared/address_text.h"
#include "shared/peer_session.h"

PeerLine own_peer_line(const PeerSession* s) {
    PeerLine line{};
    // Port 0: not known ("unknown" is no address).
    const auto at = [](const char* ip, std::uint16_t port) {
        platform::Endpoint e{0, 0};
        if (parse_address(ip, &e)) e.port = port;
        return e;
    };
    for (const platform::Endpoint& e : {at(s->public_ip, s->public_port), s->public6, at(s->local_ip, s->local_port)}) {
        bool known = e.port == 0;
        for (std::size_t i = 0; i < line.count; ++i) known = known || platform::same_endpoint(line.candidates[i], e);
        if (!known) line.candidates[line.count++] = e;
    }
    line.tagged = true;
    std::memcpy(line.tag, s->own_tag, sizeof line.tag);
    return line;
}

void print_peer_line(const PeerSession* s) {
    char own[kPeerLineSize];
    format_peer_line(own_peer_line(s), own);
    std::printf("Your peer line: %s\n", own);
}

bool prompt_peer_info(PeerSession* s, char peer_ip[kPeerIpSize], std::uint16_t* peer_port,
                      std::FILE* in) {
    const char* separator = "==============================================\n";
    std::printf("\n%s", separator);
    std::printf("YOUR CONNECTION INFO:\n");
    std::printf("%s", separator);
    if (std::strcmp(s->local_ip, "unknown") != 0) {
        std::printf("For peer on SAME LOCAL NETWORK:\n");
        std::printf("  IP:   %s\n", s->local_ip);
        std::printf("  Port: %u\n", static_cast<unsigned>(s->local_port));
        std::printf("\n");
    }
    std::printf("For peer on SAME COMPUTER (localhost):\n");
    std::printf("  IP:   127.0.0.1\n");
    std::printf("  Port: %u\n", static_cast<unsigned>(s->local_port));
    std::printf("\n");
    std::printf("For peer on DIFFERENT NETWORK (internet):\n");
    if (s->public_port != 0) {
        std::printf("  IP:   %s\n", s->public_ip);
        std::printf("  Port: %u\n", static_cast<unsigned>(s->public_port));
    } else {
        std::printf("  IP:   unknown (no STUN server asked)\n");
    }
    char endpoint[kEndpointTextSize];
    if (s->public6.v6 && std::strchr(s->public_ip, ':') == nullptr) {
        format_endpoint(s->public6, endpoint);
        std::printf("  IPv6: %s\n", endpoint);
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
        if (as_line) return true;
    }

    std::printf("Enter peer port: ");
    std::fflush(stdout);
    if (std::fgets(line, sizeof line, in) != nullptr) *peer_port = parse_port_text(line);
    return false;
}
