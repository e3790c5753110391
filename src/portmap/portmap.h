// A port mapping asked of our own router (NAT-PMP, PCP or UPnP IGD): a public endpoint that takes
// datagrams from anyone, whatever the kind of the router's NAT, so that a symmetric side is
// reached without a sweep. It is asked beside the STUN exchange, kept only when its external
// address is the one the STUN servers saw, refreshed before it ends and deleted at the end.
#pragma once

#include <cstdint>

#include "session/session.h"

// How a mapping was obtained, as Discovered::portmap_kind holds it.
enum class MapKind : std::uint8_t { pcp, natpmp, upnp };

// Main thread, before discovery: asks the default gateway by all three protocols at once, each in
// a thread of its own. Nothing when there is no IPv4 gateway.
void portmap_start(PeerSession* session);
// The same of the router at `gateway` (its PCP port), by UPnP too only when `upnp`: UPnP finds its
// router by multicast, never at an address given.
void portmap_ask(PeerSession* session, platform::Endpoint gateway, bool upnp);

// Main thread, once discovery has ended: waits for the first mapping granted, or for every
// protocol to fail; a router that answers nothing is given a short while only. A mapping whose
// external address the STUN servers did not see is deleted at once. Fills `found.portmapped`
// and says what came of it.
void portmap_settle(PeerSession* session);

// Keepalive thread: refreshes the mapping when half its lifetime has gone; the milliseconds
// until that is due (kForever without a mapping).
std::uint32_t portmap_tick(PeerSession* session);

// At the end: deletes every mapping still held and frees what asked for them.
void portmap_release(PeerSession* session);

// When a mapping of `lifetime_s` seconds is to be asked again, in milliseconds from its grant:
// half its lifetime (RFC 6886 and 6887 both ask no sooner), a day at most.
std::uint32_t portmap_refresh_after(std::uint32_t lifetime_s);
// When a refresh that failed is tried again, in milliseconds from then: a minute later, or at
// its refresh time when that is sooner, never at once.
std::uint32_t portmap_retry_after(std::uint32_t lifetime_s);
