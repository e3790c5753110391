// The operating system's socket headers, for the platform layer's own sources only.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

#include "bytes/byte_order.h"
#include "platform/platform.h"

namespace platform {

// The system's own handle of a socket and the value that is none; each twin closes one its own
// way.
#ifdef _WIN32
using OsSocket = SOCKET;
inline constexpr OsSocket kNoOsSocket = INVALID_SOCKET;
#else
using OsSocket = int;
inline constexpr OsSocket kNoOsSocket = -1;
#endif
inline OsSocket os_socket(Socket s) { return static_cast<OsSocket>(s); }
void close_os_socket(OsSocket s);

// A socket address of either family, as the socket calls take it.
struct SocketAddress {
    sockaddr_storage storage;
    socklen_t size;
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

// For a socket of `family`: an IPv4 endpoint through an IPv6 socket goes as ::ffff:a.b.c.d.
inline SocketAddress to_sockaddr(const Endpoint& e, int family) {
    SocketAddress a{};
    if (family == AF_INET && e.v6) return a;  // no such address for an IPv4 socket: sending fails
    if (family == AF_INET) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_port = htons(e.port);
        in.sin_addr.s_addr = htonl(e.ip);
        std::memcpy(&a.storage, &in, sizeof in);
        a.size = sizeof in;
        return a;
    }
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(e.port);
    std::uint8_t* bytes = reinterpret_cast<std::uint8_t*>(&in6.sin6_addr);
    if (e.v6) {
        std::memcpy(bytes, e.ip6, 16);
    } else {
        std::memcpy(bytes, kIpv4Mapped, sizeof kIpv4Mapped);
        write32(bytes + 12, e.ip);
    }
    std::memcpy(&a.storage, &in6, sizeof in6);
    a.size = sizeof in6;
    return a;
}

// The family natchat's sockets have (see has_ipv6).
inline int socket_family() { return has_ipv6() ? AF_INET6 : AF_INET; }

// What a socket call filled in; an IPv4-mapped IPv6 address is the IPv4 endpoint it stands for.
inline Endpoint from_sockaddr(const SocketAddress& a) {
    Endpoint e{0, 0};
    if (a.storage.ss_family == AF_INET) {
        sockaddr_in in;
        std::memcpy(&in, &a.storage, sizeof in);
        e.ip = ntohl(in.sin_addr.s_addr);
        e.port = ntohs(in.sin_port);
    } else if (a.storage.ss_family == AF_INET6) {
        sockaddr_in6 in6;
        std::memcpy(&in6, &a.storage, sizeof in6);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&in6.sin6_addr);
        e.port = ntohs(in6.sin6_port);
        if (std::memcmp(bytes, kIpv4Mapped, sizeof kIpv4Mapped) == 0) {
            e.ip = read32(bytes + 12);
        } else {
            e.v6 = true;
            std::memcpy(e.ip6, bytes, 16);
        }
    }
    return e;
}

// Every interface, port 0, for natchat's sockets to bind to: :: rather than ::ffff:0.0.0.0,
// which would take IPv4 only.
inline SocketAddress wildcard_sockaddr(std::uint16_t port = 0) {
    Endpoint any{0, port};
    any.v6 = socket_family() == AF_INET6;
    return to_sockaddr(any, socket_family());
}

// An empty address for a call to fill in.
inline SocketAddress any_sockaddr() {
    SocketAddress a{};
    a.size = sizeof a.storage;
    return a;
}

}  // namespace platform
