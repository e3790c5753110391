#include "portmap/upnp.h"

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

#include <cstdio>
#include <string>

#include "address/address_text.h"

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

// The router's control point, whatever it says of its connection: test networks fall in ranges
// that the library calls reserved and then reports the IGD as not connected. What the mapping is
// worth is judged against the STUN servers' view instead.
bool find_router(std::uint32_t search_ms, std::atomic<bool>* found, UpnpMapping* m) {
    static const char* const kTypes[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1", nullptr};
    int error = 0;
    UPNPDev* devices = upnpDiscoverDevices(kTypes, static_cast<int>(search_ms), nullptr, nullptr, 0, 0, 2, &error, 0);
    if (devices == nullptr) return false;
    found->store(true);
    char lan[64] = {};
    const int igd = UPNP_GetValidIGD(devices, &m->urls, &m->data, lan, sizeof lan);
    freeUPNPDevlist(devices);
    if (igd == 0) return false;
    if (m->urls.controlURL == nullptr || m->urls.controlURL[0] == '\0') {
        FreeUPNPUrls(&m->urls);
        return false;
    }
    return true;
}

}  // namespace

UpnpMapping* upnp_map(platform::Endpoint internal, std::uint32_t lease_s, std::uint32_t search_ms,
                      std::atomic<bool>* found, platform::Endpoint* external) {
    auto* m = new UpnpMapping{};
    if (!find_router(search_ms, found, m)) {
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
