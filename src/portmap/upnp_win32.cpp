#include "portmap/upnp.h"

UpnpMapping* upnp_map(std::uint32_t, platform::Endpoint, std::uint32_t, std::uint32_t, std::atomic<bool>*, const std::atomic<bool>*, platform::Endpoint*) {
    return nullptr;
}

bool upnp_refresh(UpnpMapping*, std::uint32_t) { return false; }

void upnp_unmap(UpnpMapping*) {}

void upnp_forget(UpnpMapping*) {}
