// The command line read into its options and the words that remain.
#pragma once

#include <cstddef>
#include <cstdint>

#include "relay/relay.h"
#include "stun/discovery.h"

inline constexpr std::size_t kMaxStunServers = 8;

// The command line without its options: the words that remain, and the STUN servers to ask.
struct CommandLine {
    const char* words[3];  // the program's name, then at most two more
    int count;
    StunServer stun[kMaxStunServers];
    std::size_t stun_count;
    char stun_hosts[kMaxStunServers][256];
    bool secure_only;
    RelayServer relay;
    bool use_relay;
    std::uint16_t port;  // for our socket; 0: any
    bool no_stun;        // no discovery: a chat on this LAN
    bool no_color;       // no colour at a terminal
    bool no_portmap;     // ask our router for no port mapping
};

// "--stun HOST[:PORT]", given any number of times up to kMaxStunServers, replaces the default
// servers, and "--no-stun" asks none (not both); "--turn USER:PASSWORD@HOST[:PORT]", once, names a
// relay, and its password is starred out in `argv`; "--port N", once, the port of our socket;
// "--no-portmap" asks the router for no mapping; every other word keeps its place. False for a
// word too many, an option without its server, or a server that is no HOST[:PORT].
bool read_command_line(int argc, char** argv, CommandLine* c);
