// A UDP port mapping asked of the router by UPnP IGD, through the client the build has: the
// miniupnpc library on Linux (upnp_miniupnpc.cpp); none in the Windows build (upnp_win32.cpp),
// where PCP and NAT-PMP serve.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

struct UpnpMapping;

// Looks for the router at `gateway` for `search_ms` (SSDP), setting `found` as soon as an Internet Gateway
// Device answers, then, unless `stop` holds by then, asks it to send UDP for the external port `internal.port` to `internal`
// for `lease_s` seconds. The router's external address and the port go to `external`; null when
// any of it fails. Blocks: the caller runs it in a thread of its own.
UpnpMapping* upnp_map(std::uint32_t gateway, platform::Endpoint internal, std::uint32_t lease_s, std::uint32_t search_ms,
                      std::atomic<bool>* found, const std::atomic<bool>* stop, platform::Endpoint* external);

// Asks again for the same mapping, so that the lease goes on; false when the router refused.
bool upnp_refresh(UpnpMapping* mapping, std::uint32_t lease_s);

// Deletes the mapping at the router and frees it.
void upnp_unmap(UpnpMapping* mapping);
// Frees it and leaves the mapping be: another protocol holds the same one.
void upnp_forget(UpnpMapping* mapping);
