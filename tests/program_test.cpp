// The program as a user meets it: command line, peer entry and the chat loop, with a scripted
// STUN responder and a peer on loopback.
#include <gtest/gtest.h>

#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "console/peer_entry.h"
#include "session/program.h"
#include "shared/peer_session.h"
#include "support.h"

namespace {

using test::Lines;

struct Outcome {
    int code;
    std::string out;
};

// natchat with `words` after its name, and the STUN server `stun` ("HOST:PORT") first.
Outcome run(Lines words, const std::string& typed, const std::string& stun) {
    words.insert(words.begin() + 1, {"--stun", stun});
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    int code = -1;
    std::string out = test::output_of([&](std::FILE* in) {
        code = natchat_main(static_cast<int>(argv.size()), argv.data(), in);
    }, typed);
    return {code, out};
}

TEST(Program, UsageAndRefusedWords) {
    test::StunResponder stun([](int, const std::string& req) {
        return Lines{test::binding_success(req, 0xCB007109, 61000)};
    });
    const struct {
        Lines words;
        int code;
        std::string ends;  // empty: the usage text alone
    } cases[] = {
        {{"/opt/nc", "-h"}, 0, ""}, {{"/opt/nc", "--help"}, 0, ""}, {{"/opt/nc", "-H"}, 1, ""},
        {{"/opt/nc", "help"}, 1, ""}, {{"/opt/nc", "1.2.3.4", "5000", "x"}, 1, ""},
        {{"/opt/nc", "--stun"}, 1, ""}, {{"/opt/nc", "--stun", ":3478"}, 1, ""},
        {{"/opt/nc", "--stun", "h:0", "--help"}, 1, ""},
        {{"/opt/nc", "--stun", std::string(256, 'h')}, 1, ""},
        {{"/opt/nc", "--stun", "a", "--stun", "b", "--stun", "c", "--stun", "d", "--stun", "e",
          "--stun", "f", "--stun", "g", "--stun", "h", "-h"}, 1, ""},
        {{"/opt/nc", "--stun", "a", "--stun", "b", "--stun", "c", "--stun", "d", "--stun", "e",
          "--stun", "f", "--stun", "g:1", "--help"}, 0, ""},
        {{"natchat", "1.2.3.4", "0"}, 1, "Invalid port number\n"},
        {{"natchat", "1.2.3.4", "65536"}, 1, "Invalid port number\n"},
        {{"natchat", "1.2.3", "5000"}, 1, "Invalid IP address\n"},
        {{"natchat", "-h", "5000"}, 1, "Invalid IP address\n"},
        {{"natchat", std::string(300, '1'), "5000"}, 1, "Invalid IP address\n"},
        {{"natchat", "1.2.3.4" + std::string(249, ' '), "5000"}, 1, "Invalid IP address\n"},
        {{"natchat"}, 1, "Enter peer port: Invalid port number\n"},
    };
    for (const auto& c : cases) {
        const Outcome r = run(c.words, "1.2.3.4\n\n", "127.0.0.1:" + std::to_string(stun.socket.port));
        EXPECT_EQ(r.code, c.code);
        if (c.ends.empty()) {
            EXPECT_TRUE(r.out.starts_with("Usage: /opt/nc [peer_ip peer_port]\n\n"));
            EXPECT_TRUE(r.out.ends_with("peer at 192.168.1.100:5000\n\nAfter connection, type "
                                        "messages and press Enter to send.\nType 'quit' to exit.\n"));
        } else {
            EXPECT_TRUE(std::regex_search(r.out, std::regex("^Local port: [0-9]+\n(Local LAN IP: [0-9.]{7,15}|"
                                                            "Could not determine local LAN IP)\nDisc")));
            EXPECT_NE(r.out.find("External address: 203.0.113.9:61000\n"), std::string::npos);
            EXPECT_TRUE(r.out.ends_with(c.ends)) << r.out;
        }
    }
    const Outcome r = run({"natchat", "1.2.3.4", "5000"}, "", "no-such-host.invalid");
    EXPECT_TRUE(r.code == 1 && r.out.ends_with("Failed to resolve STUN server\n"));
}

TEST(Program, ChatLoopSendsEachLineAsOneDatagram) {
    test::StunResponder stun([](int, const std::string& req) {
        return Lines{test::binding_success(req, 0x7F000001, 1)};
    });
    std::string e_acute;  // 1500 two-byte characters: the 2047-byte cut falls inside one
    for (int i = 0; i < 1500; ++i) e_acute += "\xc3\xa9";
    const std::string typed =
        "hello\n\nquit \nQuit\n" + std::string(3000, 'a') + "\n" + e_acute + "\n";
    // Ends with "quit", or with the end of input in a line whose last character is cut short.
    for (const std::string& end : {std::string("quit\nnever sent\n"), std::string("x\xc3")}) {
        test::UdpSocket peer;  // a plain peer: acknowledges punches, keeps what it would show
        std::mutex mutex;
        Lines got;
        std::atomic<bool> done{false};
        std::thread answer([&] {
            std::string d;
            for (platform::Endpoint from{}; !done;) {
                if (!peer.receive(&d, &from, 20)) continue;
                if (d.rfind("KEEPALIVE", 0) == 0 && d != "KEEPALIVE BYE") continue;
                if (d == "PUNCH") peer.send("PUNCH_ACK", from);
                std::lock_guard<std::mutex> hold(mutex);
                if (d != "PUNCH") got.push_back(d);
            }
        });
        const Outcome r = run({"natchat", "127.0.0.1", std::to_string(peer.port)}, typed + end,
                          "127.0.0.1:" + std::to_string(stun.socket.port));
        const std::size_t lines = 8 + (end == "x\xc3");
        EXPECT_TRUE(test::eventually([&] {
            std::lock_guard<std::mutex> hold(mutex);
            return got.size() >= lines;
        }));
        done = true;
        answer.join();
        EXPECT_EQ(r.code, 0);
        Lines expected = {"hello", "quit ", "Quit", std::string(2047, 'a'), std::string(953, 'a'),
                          e_acute.substr(0, 2046), e_acute.substr(2046), end, "KEEPALIVE BYE"};
        if (lines == 8) expected.erase(expected.end() - 2);
        EXPECT_EQ(got, expected);
        // A prompt after every piece read (the empty line too), none after "quit".
        // Lines typed before it turned out that the peer speaks plain text waited for that.
        EXPECT_TRUE(r.out.ends_with("to exit.\n\n> > > > > > > > > " + std::string(lines == 9 ? "> " : "") +
                                         "\nThis chat is NOT encrypted: the peer's program does "
                                         "not offer a secure session.\n> \nShutting down...\n"));
    }
}

// The screen shows where we can be reached (the LAN address only when known); the lines typed
// are taken as they are, up to the line buffer, and end of input keeps what was there.
TEST(PeerEntry, ScreenAndLinesAsTyped) {
    const struct {
        std::string typed;
        const char* local_ip;
        std::string ip;
        std::uint16_t port;
    } cases[] = {
        {"198.51.100.4\n5000\n", "192.168.1.20", "198.51.100.4", 5000},
        {"", "unknown", "203.0.113.9", 50002},
        {"1.2.3.4\n", "unknown", "1.2.3.4", 50002},
        {"  1.2.3.4 \n12ab\n", "unknown", "  1.2.3.4 ", 12},
        {std::string(300, '9') + "\n", "unknown", std::string(255, '9'), 65535},
    };
    for (const auto& c : cases) {
        PeerSession s;
        session_init(&s);
        std::snprintf(s.local_ip, sizeof s.local_ip, "%s", c.local_ip);
        std::snprintf(s.public_ip, sizeof s.public_ip, "203.0.113.9");
        s.local_port = 40001;
        s.public_port = 50002;
        char ip[kPeerIpSize] = "203.0.113.9";
        std::uint16_t port = 50002;
        const std::string out =
            test::output_of([&](std::FILE* in) { prompt_peer_info(&s, ip, &port, in); }, c.typed);
        session_destroy(&s);
        EXPECT_EQ(ip, c.ip);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(out.find("192.168.1.20\n  Port: 40001\n") != std::string::npos, c.ip == "198.51.100.4");
        EXPECT_NE(out.find("127.0.0.1\n  Port: 40001\n\nFor peer on DIFFERENT NETWORK (internet):\n"
                           "  IP:   203.0.113.9\n  Port: 50002\n"), std::string::npos);
        EXPECT_TRUE(out.ends_with("proceeding.\n\nEnter peer IP address: Enter peer port: "));
    }
}

}  // namespace
