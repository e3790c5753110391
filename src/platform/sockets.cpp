// The socket calls that read the same on both platforms once the socket headers are in; the
// twins keep what differs: non-blocking mode, binding, sending and receiving with their errors.
#include "platform/socket_headers.h"

namespace platform {
namespace {

// A UDP socket of `family`; an IPv6 one serves IPv4 as well, or there is none (kNoOsSocket).
OsSocket open_udp(int family) {
    const OsSocket s = ::socket(family, SOCK_DGRAM, IPPROTO_UDP);
    const int off = 0;
    if (s != kNoOsSocket && family == AF_INET6 &&
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off), sizeof off) != 0) {
        close_os_socket(s);
        return kNoOsSocket;
    }
    return s;
}

}  // namespace

bool has_ipv6() {
    static const bool yes = [] {
        const OsSocket s = open_udp(AF_INET6);
        if (s == kNoOsSocket) return false;
        close_os_socket(s);
        return true;
    }();
    return yes;
}

Socket udp_open() {
    const OsSocket s = open_udp(socket_family());
    return s == kNoOsSocket ? kInvalidSocket : static_cast<Socket>(s);
}

bool source_ip_toward(const Endpoint& to, Endpoint* source) {
    const int family = to.v6 ? AF_INET6 : AF_INET;
    const OsSocket s = ::socket(family, SOCK_DGRAM, IPPROTO_UDP);
    if (s == kNoOsSocket) return false;
    SocketAddress a = to_sockaddr(to, family);
    SocketAddress local = any_sockaddr();
    const bool ok = ::connect(s, a.get(), a.size) == 0 &&
                    ::getsockname(s, local.get(), &local.size) == 0;
    close_os_socket(s);
    if (ok) {
        *source = from_sockaddr(local);
        source->port = 0;
    }
    return ok;
}

bool local_port(Socket s, std::uint16_t* port) {
    SocketAddress a = any_sockaddr();
    const bool ok = ::getsockname(os_socket(s), a.get(), &a.size) == 0;
    if (ok) *port = from_sockaddr(a).port;
    return ok;
}

void set_receive_buffer(Socket s, int bytes) {
    const char* value = reinterpret_cast<const char*>(&bytes);
    ::setsockopt(os_socket(s), SOL_SOCKET, SO_RCVBUF, value, sizeof bytes);
#ifdef SO_RCVBUFFORCE
    // Linux caps SO_RCVBUF at net.core.rmem_max; a privileged process may go past it.
    ::setsockopt(os_socket(s), SOL_SOCKET, SO_RCVBUFFORCE, value, sizeof bytes);
#endif
}

void close_socket(Socket s) { close_os_socket(os_socket(s)); }

}  // namespace platform
