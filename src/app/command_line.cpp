#include "app/command_line.h"

#include <cstring>

#include "address/address_text.h"

namespace {

// Others on this computer can read a program's command line while it runs: the password leaves
// it once read ("USER:****@HOST").
void hide_password(char* word) {
    char* const at = std::strrchr(word, '@');
    for (char* p = std::strchr(word, ':') + 1; p < at; ++p) *p = '*';
}

}  // namespace

bool read_command_line(int argc, char** argv, CommandLine* c) {
    c->words[0] = argv[0] != nullptr ? argv[0] : "natchat";  // argv[argc] is null
    c->count = 1;
    c->stun_count = 0;
    c->secure_only = false;
    c->use_relay = false;
    c->port = 0;
    c->no_stun = false;
    c->no_color = false;
    c->no_portmap = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--secure-only") == 0) {
            c->secure_only = true;
            continue;
        }
        if (std::strcmp(argv[i], "--no-color") == 0) {
            c->no_color = true;
            continue;
        }
        if (std::strcmp(argv[i], "--no-stun") == 0) {
            c->no_stun = true;
            continue;
        }
        if (std::strcmp(argv[i], "--no-portmap") == 0) {
            c->no_portmap = true;
            continue;
        }
        if (std::strcmp(argv[i], "--port") == 0) {
            if (i + 1 == argc || c->port != 0 || (c->port = parse_port_text(argv[++i])) == 0) return false;
            continue;
        }
        if (std::strcmp(argv[i], "--turn") == 0) {
            if (i + 1 == argc || c->use_relay || !parse_relay_server(argv[++i], &c->relay)) return false;
            c->use_relay = true;
            hide_password(argv[i]);
            continue;
        }
        if (std::strcmp(argv[i], "--stun") != 0) {
            if (c->count == 3) return false;
            c->words[c->count++] = argv[i];
            continue;
        }
        if (i + 1 == argc || c->stun_count == kMaxStunServers) return false;
        const char* text = argv[++i];
        char* host = c->stun_hosts[c->stun_count];
        HostPort h{};
        if (!split_host_port(text, std::strlen(text), &h)) return false;
        const std::uint16_t port = h.port != nullptr ? parse_port_text(h.port) : kStunDefaultPort;
        if (h.host_size == 0 || h.host_size >= sizeof c->stun_hosts[0] || port == 0) return false;
        std::memcpy(host, h.host, h.host_size);
        host[h.host_size] = '\0';
        c->stun[c->stun_count++] = StunServer{host, port};
    }
    if (c->no_stun && c->stun_count > 0) return false;  // which is it to be?
    if (c->stun_count == 0) {
        for (const StunServer& server : kDefaultStunServers) c->stun[c->stun_count++] = server;
    }
    return true;
}
