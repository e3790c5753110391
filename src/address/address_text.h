// Addresses and ports as people type and read them: IPv4 dotted-quad text ("%d.%d.%d.%d") in
// host byte order, IPv6 text, port numbers, endpoints ("198.51.100.1:61023",
// "[2001:db8::2]:61023") and the peer line, every endpoint one side can be reached at.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// How our own NAT maps the socket, as the STUN servers saw it.
enum class NatKind {
    unknown,    // only one server answered
    none,       // the mapped address is our own
    cone,       // one mapping for every destination
    symmetric,  // a new mapping for each destination
};

// Room for "255.255.255.255" and its terminator.
inline constexpr std::size_t kIpv4TextSize = 16;

// Room for an address or a peer line as typed: 511 characters and the terminator.
inline constexpr std::size_t kPeerIpSize = 512;

void format_ipv4(std::uint32_t ip, char out[kIpv4TextSize]);

// Accepts exactly four decimal parts of 0 to 255 separated by dots, with no leading zeros, signs,
// blanks or anything else; false leaves `ip` alone.
bool parse_ipv4(const char* text, std::uint32_t* ip);

// Whether `ip` can be a peer: a unicast address, not one of 0.0.0.0/8, multicast (224.0.0.0/4)
// or the broadcast address.
bool is_unicast_ipv4(std::uint32_t ip);

// A port as typed: leading blanks, then digits up to the first other character. 0 (no port) for
// a word without leading digits, with a sign, or with a number above 65535; any number of
// digits is safe.
std::uint16_t parse_port_text(const char* text);

// "HOST[:PORT]" as servers and peers are written: a name or a dotted quad, "[IPv6]", or bare IPv6
// text (all of it host), each but the last optionally followed by ":PORT". Both parts point into
// the text; `port` is null when none is given.
struct HostPort {
    const char* host;
    std::size_t host_size;
    const char* port;
    std::size_t port_size;
    bool bracketed;
};

// The `size` bytes at `text` split so; false for a bracket left open or followed by anything but
// ":PORT". Neither part is checked further.
bool split_host_port(const char* text, std::size_t size, HostPort* out);

// Room for an address of either family and its terminator.
inline constexpr std::size_t kAddressTextSize = platform::kIpv6TextSize;
// Room for "[address]:port" and its terminator.
inline constexpr std::size_t kEndpointTextSize = kAddressTextSize + 8;

void format_address(const platform::Endpoint& address, char out[kAddressTextSize]);
void format_endpoint(const platform::Endpoint& endpoint, char out[kEndpointTextSize]);

// A dotted quad or IPv6 text (no brackets, no zone); the port becomes 0. False leaves `out` alone.
bool parse_address(const char* text, platform::Endpoint* out);

// Whether an address can be a peer: an IPv4 one as is_unicast_ipv4 says; an IPv6 one that is
// neither unspecified, multicast, link-local (which needs a zone) nor IPv4-mapped.
bool is_unicast(const platform::Endpoint& address);

// The most endpoints a peer line holds.
inline constexpr std::size_t kMaxCandidates = 8;

// Random bytes of each run that its peer line carries: whoever can prove it knows them was given
// the line (peer/proof.h).
inline constexpr std::size_t kLineTagSize = 10;

// One side's endpoints. In the line the first IPv4 endpoint is the one the STUN servers saw; any
// further IPv4 endpoint is on that side's own network, but for one written after the tag: that
// side's relayed address, which a build that knows no relay in the line takes for a LAN endpoint
// and so leaves alone unless both sides share one NAT.
struct PeerLine {
    platform::Endpoint candidates[kMaxCandidates];
    std::size_t count;
    bool tagged = false;  // a line as natchat shows it carries its tag
    std::uint8_t tag[kLineTagSize] = {};
    platform::Endpoint relayed{0, 0};  // port 0: none
};

// Room for a full peer line, its tag and its relayed address.
inline constexpr std::size_t kPeerLineSize = (kMaxCandidates + 1) * kEndpointTextSize + 2 * kLineTagSize + 8;

// The endpoints separated by single spaces, then "tag=" and the tag in hex when there is one, then
// the relayed address when the line is tagged and has one.
void format_peer_line(const PeerLine& line, char out[kPeerLineSize]);

// One to kMaxCandidates unicast endpoints separated by blanks, optionally after "Your peer line:";
// each "a.b.c.d:port" or "[IPv6]:port", the port 1 to 65535 in decimal digits; and among them at
// most one "tag=" with 2 * kLineTagSize hex digits; when an endpoint stands before the tag, the
// first IPv4 endpoint after it is the relayed address. An endpoint given twice counts once. False, with `out` untouched, for anything
// else.
bool parse_peer_line(const char* text, PeerLine* out);

// What the user typed at the address prompt: true when it is meant as a peer line (it is no bare
// address, and holds two words, a colon or a bracket).
bool looks_like_peer_line(const char* text);
