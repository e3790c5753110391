// Another port of the peer's address is learned only by rule: given a tagged line, on a datagram
// that proves it; else on two punches in a row from a port our sweep punched (through the relay,
// from any port). A port learned without proof and dropped for offering no secure session is never
// learned again, and learning goes on.

#include "support.h"

TEST(Identity, APortNobodyGaveIsLearnedOnlyByRule) {
    const struct {
        const char* name;
        bool tagged = false, proven = false, swept = false, relayed = false;
        DatagramKind kind = DatagramKind::punch;
        std::uint16_t port = 5000;
        int times = 2;
        bool learned = false;
    } rows[] = {
        {.name = "two punches from a swept port", .swept = true, .learned = true}, {.name = "one is not enough", .swept = true, .times = 1},
        {.name = "a port nobody swept"}, {.name = "through the relay, any port", .relayed = true, .learned = true},
        {.name = "through the relay, port 0 once", .relayed = true, .port = 0, .times = 1},
        {.name = "keepalives teach nothing", .swept = true, .kind = DatagramKind::keepalive},
        {.name = "tagged: unproven punches from a swept port", .tagged = true, .swept = true},
        {.name = "tagged: a proven punch, at once, swept or not", .tagged = true, .proven = true, .times = 1, .learned = true},
        {.name = "tagged: a proven commitment", .tagged = true, .proven = true, .kind = DatagramKind::keepalive, .times = 1, .learned = true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        test::Rig rig;
        PeerSession& s = rig.s;
        const platform::Endpoint typed{test::kLoopback, 4000}, other{test::kLoopback, r.port}, next{test::kLoopback, 6000};
        identity_begin(&s, PeerLine{{typed}, 1, r.tagged, {}});
        if (r.swept) identity_punched(&s, other.port);
        bool learned = false, binds = false, dropped = false, again = false, relearned = false;
        test::output_of([&](std::FILE*) {
            for (int i = 0; i < r.times; ++i) learned = identity_learn(&s, r.kind, other, r.relayed, r.proven);
            binds = identity_may_bind(&s, other, false);
            dropped = learned && identity_drop_learned(&s) && platform::same_endpoint(peer_endpoint(&s), typed);
            again = identity_drop_learned(&s);
            identity_punched(&s, next.port);
            for (const platform::Endpoint& e : {other, other, next, next}) relearned = identity_learn(&s, r.kind, e, r.relayed, r.proven) || relearned;
        });
        EXPECT_EQ(learned, r.learned);
        EXPECT_EQ(binds, !r.tagged || r.learned) << "an unproven commitment, given a tag, only from where the path is";
        EXPECT_EQ(dropped, r.learned && !r.tagged) << "a port that proved the line stays";
        EXPECT_FALSE(again) << "the typed endpoint is never dropped";
        EXPECT_TRUE(!dropped || (relearned && platform::same_endpoint(peer_endpoint(&s), next))) << "learning goes on, not on the port dropped";
    }
}

// The peer's relayed address, from its line: punched like its other endpoints and ranked last,
// unless both sides share one NAT or both have a relay and ours is the lower, which both then use
// (ours lets the peer in at once). The first endpoint to answer while the typed one is silent
// takes the path, the relay too.
TEST(Identity, ThePeersRelayedAddressRanksLastAndOneRelayServes) {
    const platform::Endpoint typed{0xC6336401, 4000};
    const struct {
        const char* name;
        std::uint32_t own_relay = 0, own_public = 0xC6336402, relay_ip = 0xCB007105;
        bool tagged = true, heard_typed = false, full = false, kept = true, early = false;
    } rows[] = {
        {.name = "ours none"}, {.name = "ours higher", .own_relay = 0xCB007106}, {.name = "ours lower", .own_relay = 0xCB007104, .kept = false, .early = true},
        {.name = "one NAT", .own_relay = 0xCB007104, .own_public = typed.ip, .kept = false}, {.name = "typed: waits", .own_relay = 0xCB007104, .tagged = false, .kept = false},
        {.name = "the typed endpoint spoke", .heard_typed = true}, {.name = "no room left in the line", .full = true, .kept = false},
        {.name = "a relay server on the peer's own address", .relay_ip = typed.ip},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const platform::Endpoint relay{r.relay_ip, 50000};
        test::Rig rig;
        PeerSession& s = rig.s;
        s.found.mapped = {r.own_public, 4000};
        s.relayed = {r.own_relay, std::uint16_t(r.own_relay != 0 ? 50000 : 0)};
        PeerLine line{{typed}, 1, r.tagged, {}, r.tagged ? relay : platform::Endpoint{0, 0}};
        for (std::uint16_t port = 1; r.full && line.count < kMaxCandidates; ++port) line.candidates[line.count++] = {typed.ip, port};
        identity_begin(&s, line);
        s.peer.learned.heard_typed = r.heard_typed;
        s.run.connected = true;  // and through our own relay, where we have one
        if (r.own_relay != 0) { relay_open(&s, {test::kLoopback, 9}, "u", "p"); relay_choose(&s); }
        EXPECT_EQ(identity_early_relay(&s, line), r.early);
        EXPECT_EQ(path_kind(&s, relay) == PathKind::relay, r.kept);
        const std::string said = test::output_of([&](std::FILE*) { identity_path(&s, DatagramKind::punch_ack, false, relay); });
        EXPECT_EQ(platform::same_endpoint(peer_endpoint(&s), relay), r.kept && !r.heard_typed);
        EXPECT_EQ(said.find("\n[The chat now goes over the peer's relay to ") == 0, r.kept && !r.heard_typed) << said;  // no direct path
    }
}

// When both routers map, only the side whose own mapping is the lower, by address first, moves up
// to the peer's: were both to move, each would send and hear by different conntrack entries.
TEST(Identity, OnlyTheLowerMappingMovesUpToThePeers) {
    const platform::Endpoint typed{0xC6336401, 4000}, mapped{0xC6336401, 5000};
    const struct { const char* name; platform::Endpoint own; int rank; } rows[] = {
        {"ours none", {0, 0}, 2}, {"ours lower by address, higher by port", {0xC6336400, 6000}, 2},
        {"ours higher by address, lower by port", {0xC6336402, 3000}, 3},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        test::Rig rig;
        PeerSession& s = rig.s;
        s.found.mapped = {0xCB007101, 4000};
        s.found.portmapped = r.own;
        identity_begin(&s, PeerLine{{typed, mapped}, 2, true, {}});
        EXPECT_EQ(path_rank(&s, mapped), r.rank);
    }
}

// A LAN endpoint of the peer's counts once a sealed record opens there, as once a proof came from it.
TEST(Identity, ALanEndpointCountsOnceASealedRecordOpensThere) {
    for (const bool opened : {false, true}) {
        test::Rig rig;
        const platform::Endpoint typed{0xC6336401, 4000}, lan{0xC0A80002, 4000};
        rig.s.found.mapped = {typed.ip, 5000};
        identity_begin(&rig.s, PeerLine{{typed, lan}, 2, true, {}});
        const auto claim = [&] { return identity_judge(&rig.s, reinterpret_cast<const std::uint8_t*>("x"), 1, lan, false); };
        EXPECT_EQ(claim(), Claim::unproven);
        test::output_of([&](std::FILE*) { identity_path(&rig.s, DatagramKind::chat, opened, lan); });
        EXPECT_EQ(claim(), opened ? Claim::candidate : Claim::unproven) << opened;
    }
}
