#include "portmap/upnp.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

#include <cstdio>
#include <string>

#include "address/address_text.h"
#include "portmap/ssdp.h"

struct UpnpMapping {
    UPNPUrls urls;
    IGDdatas data;
    char port[8];
    char client[kIpv4TextSize];
};

namespace {

constexpr char kDescription[] = "natchat";

bool add(UpnpMapping* m, std::uint32_t lease_s) {
    const std::string lease = std::to_string(lease_s);
    return UPNP_AddPortMapping(m->urls.controlURL, m->data.first.servicetype, m->port, m->port, m->client,
                               kDescription, "UDP", nullptr, lease.c_str()) == UPNPCOMMAND_SUCCESS;
}

void release(UpnpMapping* m) {
    FreeUPNPUrls(&m->urls);
    delete m;
}

// The description URL of the router at `gateway`, from its answer to our search within
// `search_ms`.
bool search_router(std::uint32_t gateway, std::uint32_t search_ms, char location[kLocationSize]) {
    const platform::Socket sock = platform::udp_open();
    if (sock == platform::kInvalidSocket) return false;
    char search[512];
    const std::size_t size = ssdp_search(search, sizeof search, gateway);
    bool found = platform::set_nonblocking(sock) && platform::bind_any(sock) == platform::BindStatus::ok && size > 0 &&
                 platform::send_to(sock, search, size, {gateway, kSsdpPort}) == platform::SendStatus::ok;
    const std::uint32_t start = platform::tick_ms();
    bool answered = false;
    for (std::uint32_t left = search_ms; found && !answered && left > 0;
         left = platform::left_of(search_ms, start, platform::tick_ms())) {
        char answer[2048];
        platform::Endpoint from{0, 0};
        if (!platform::wait_readable(sock, left)) continue;
        const platform::RecvResult r = platform::recv_from(sock, answer, sizeof answer, &from);
        answered = r.status == platform::RecvStatus::ok && platform::same_address(from, {gateway, 0}) &&
                   ssdp_location(answer, r.bytes, gateway, location);
    }
    platform::close_socket(sock);
    return answered;
}

// The router's control point, whatever it says of its connection: test networks fall in ranges
// that the library calls reserved, and then it reports the IGD as not connected. What the
// mapping is worth is judged against the STUN servers' view instead.
bool find_router(std::uint32_t gateway, std::uint32_t search_ms, std::atomic<bool>* found, UpnpMapping* m) {
    char location[kLocationSize];
    if (!search_router(gateway, search_ms, location)) return false;
    found->store(true);
    char lan[64] = {};
    if (UPNP_GetIGDFromUrl(location, &m->urls, &m->data, lan, sizeof lan) != 1) return false;
    if (m->urls.controlURL == nullptr || m->urls.controlURL[0] == '\0') {
        FreeUPNPUrls(&m->urls);
        return false;
    }
    return true;
}

}  // namespace

UpnpMapping* upnp_map(std::uint32_t gateway, platform::Endpoint internal, std::uint32_t lease_s, std::uint32_t search_ms,
                      std::atomic<bool>* found, const std::atomic<bool>* stop, platform::Endpoint* external) {
    auto* m = new UpnpMapping{};
    const bool router = find_router(gateway, search_ms, found, m);
    const bool stopped = stop->load();  // read once: the URLs are freed exactly when given up
    if (router && stopped) FreeUPNPUrls(&m->urls);
    if (!router || stopped) {
        delete m;
        return nullptr;
    }
    std::snprintf(m->port, sizeof m->port, "%u", static_cast<unsigned>(internal.port));
    format_ipv4(internal.ip, m->client);
    char address[40] = {};
    platform::Endpoint e{0, internal.port};
    if (!add(m, lease_s)) {
        release(m);
        return nullptr;
    }
    if (UPNP_GetExternalIPAddress(m->urls.controlURL, m->data.first.servicetype, address) != UPNPCOMMAND_SUCCESS ||
        !parse_ipv4(address, &e.ip)) {
        upnp_unmap(m);
        return nullptr;
    }
    *external = e;
    return m;
}

bool upnp_refresh(UpnpMapping* m, std::uint32_t lease_s) { return add(m, lease_s); }

void upnp_unmap(UpnpMapping* m) {
    UPNP_DeletePortMapping(m->urls.controlURL, m->data.first.servicetype, m->port, "UDP", nullptr);
    release(m);
}

void upnp_forget(UpnpMapping* m) { release(m); }
