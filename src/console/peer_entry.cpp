#include "console/peer_entry.h"

#include <cstring>

#include "shared/address_text.h"
#include "shared/peer_session.h"

void prompt_peer_info(PeerSession* s, char peer_ip[kPeerIpSize], std::uint16_t* peer_port,
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
    std::printf("  IP:   %s\n", s->public_ip);
    std::printf("  Port: %u\n", static_cast<unsigned>(s->public_port));
    if (s->relayed.port != 0) {
        char relayed[kIpv4TextSize];
        format_ipv4(s->relayed.ip, relayed);
        std::printf("  Relayed address: %s:%u\n", relayed, static_cast<unsigned>(s->relayed.port));
    }
    std::printf("%s", separator);
    std::printf("\nIMPORTANT: For NAT traversal to work, both peers\n");
    std::printf("must start sending packets at roughly the same time!\n");
    std::printf("Coordinate with your peer before proceeding.\n\n");

    char line[256];
    std::printf("Enter peer IP address: ");
    std::fflush(stdout);
    if (std::fgets(line, sizeof line, in) != nullptr) {
        std::size_t n = std::strlen(line);
        if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
        std::memcpy(peer_ip, line, std::strlen(line) + 1);
    }

    std::printf("Enter peer port: ");
    std::fflush(stdout);
    if (std::fgets(line, sizeof line, in) != nullptr) *peer_port = parse_port_text(line);
}
