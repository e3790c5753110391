// The program as a user meets it: command line, peer entry and the chat loop, with a scripted
// STUN responder and a peer on loopback.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "console/peer_entry.h"
#include "session/program.h"
#include "shared/peer_session.h"
#include "support.h"

namespace {

using Lines = std::vector<std::string>;

struct Outcome {
    int code;
    std::string output;
};

struct Program : testing::Test {
    Outcome run(Lines words, const std::string& typed = "") {
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        std::FILE* in = test::input_file(typed);
        test::begin_capture();
        const int code = natchat_main(static_cast<int>(argv.size()), argv.data(), in,
                                      StunServer{"127.0.0.1", stun.port()});
        std::fclose(in);
        return {code, test::end_capture()};
    }
    test::StunResponder stun{[](int, const std::string& req) {
        return Lines{test::binding_success(req, 0xCB007109, 61000)};
    }};
};

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(Program, UsageAndRefusedWords) {
    const struct {
        Lines words;
        int code;
        const char* ends;  // nullptr: the usage text and nothing else
    } cases[] = {
        {{"natchat", "-h"}, 0, nullptr},
        {{"natchat", "--help"}, 0, nullptr},
        {{"natchat", "-H"}, 1, nullptr},
        {{"natchat", "help"}, 1, nullptr},
        {{"natchat", "1.2.3.4", "5000", "x"}, 1, nullptr},
        {{"natchat", "1.2.3.4", "0"}, 1, "Invalid port number\n"},
        {{"natchat", "1.2.3.4", "65536"}, 1, "Invalid port number\n"},
        {{"natchat", "1.2.3.4", ""}, 1, "Invalid port number\n"},
        {{"natchat", "1.2.3", "5000"}, 1, "Invalid IP address\n"},
        {{"natchat", "-h", "5000"}, 1, "Invalid IP address\n"},
        {{"natchat", std::string(300, '1'), "5000"}, 1, "Invalid IP address\n"},
        {{"natchat"}, 1, "Enter peer port: Invalid port number\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.back());
        Outcome r = run(c.words, "1.2.3.4\n\n");
        EXPECT_EQ(r.code, c.code);
        if (c.ends == nullptr) {
            EXPECT_EQ(r.output.rfind("Usage: natchat [peer_ip peer_port]\n\n", 0), 0u);
            EXPECT_TRUE(ends_with(r.output, "  natchat 192.168.1.100 5000\n    Connect directly to "
                                            "peer at 192.168.1.100:5000\n\nAfter connection, type "
                                            "messages and press Enter to send.\nType 'quit' to exit.\n"));
            continue;
        }
        EXPECT_EQ(r.output.rfind("Local port: ", 0), 0u) << r.output;
        EXPECT_NE(r.output.find("External address: 203.0.113.9:61000\n"), std::string::npos);
        EXPECT_TRUE(ends_with(r.output, c.ends)) << r.output;
    }
}

TEST(ProgramStart, FailedDiscoveryEndsWithOne) {
    std::string name = "natchat", ip = "1.2.3.4", port = "5000";
    char* argv[] = {name.data(), ip.data(), port.data()};
    std::FILE* in = test::input_file("");
    test::begin_capture();
    EXPECT_EQ(natchat_main(3, argv, in, StunServer{"no-such-host.invalid", 1}), 1);
    EXPECT_TRUE(ends_with(test::end_capture(), "Failed to resolve STUN server\n"));
    std::fclose(in);
}

// A peer that acknowledges every punch and keeps every other datagram but plain keepalives.
struct EchoPeer {
    EchoPeer()
        : worker([this] {
              std::string d;
              platform::Endpoint from{};
              while (!stop) {
                  if (!socket.receive(&d, &from, 20) || d == "KEEPALIVE") continue;
                  if (d == "PUNCH") socket.send("PUNCH_ACK", from);
                  std::lock_guard<std::mutex> hold(mutex);
                  if (d != "PUNCH") lines.push_back(d);
              }
          }) {}
    ~EchoPeer() {
        stop = true;
        worker.join();
    }
    Lines received() {
        std::lock_guard<std::mutex> hold(mutex);
        return lines;
    }
    test::UdpSocket socket;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    Lines lines;
    std::thread worker;
};

TEST_F(Program, ChatLoopSendsEachLineAsOneDatagram) {
    std::string e_acute;  // 1500 two-byte characters: the 2047-byte cut falls inside one
    for (int i = 0; i < 1500; ++i) e_acute += "\xc3\xa9";
    const std::string typed =
        "hello\n\nquit \nQuit\n" + std::string(3000, 'a') + "\n" + e_acute + "\n";
    for (const std::string& end : {std::string("quit\nnever sent\n"), std::string()}) {
        EchoPeer peer;
        Outcome r = run({"natchat", "127.0.0.1", std::to_string(peer.socket.port)}, typed + end);
        EXPECT_EQ(r.code, 0);
        const Lines expected = {"hello", "quit ", "Quit", std::string(2047, 'a'),
                                std::string(953, 'a'), e_acute.substr(0, 2046),
                                e_acute.substr(2046), "KEEPALIVE BYE"};
        EXPECT_TRUE(test::eventually([&] { return peer.received().size() >= 8; }));
        EXPECT_EQ(peer.received(), expected);
        // A prompt after every line read (the empty one too), none after "quit".
        EXPECT_TRUE(ends_with(r.output, "Type 'quit' to exit.\n\n> > > > > > > > > \nShutting down...\n"));
    }
}

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
        {"\n7\n", "unknown", "", 7},
        {"  1.2.3.4 \n12ab\n", "unknown", "  1.2.3.4 ", 12},
        {std::string(300, '9') + "\n", "unknown", std::string(255, '9'), 65535},
    };
    for (const auto& c : cases) {
        PeerSession s;
        session_init(&s);
        std::snprintf(s.local_ip, sizeof s.local_ip, "%s", c.local_ip);
        s.local_port = 40001;
        std::snprintf(s.public_ip, sizeof s.public_ip, "203.0.113.9");
        s.public_port = 50002;
        char ip[kPeerIpSize] = "203.0.113.9";
        std::uint16_t port = 50002;
        std::FILE* in = test::input_file(c.typed);
        test::begin_capture();
        prompt_peer_info(&s, ip, &port, in);
        const std::string out = test::end_capture();
        std::fclose(in);
        session_destroy(&s);
        EXPECT_EQ(ip, c.ip);
        EXPECT_EQ(port, c.port);
        const bool lan = std::string(c.local_ip) != "unknown";
        EXPECT_EQ(out.find("SAME LOCAL NETWORK:\n  IP:   192.168.1.20\n  Port: 40001\n\n") !=
                      std::string::npos,
                  lan);
        EXPECT_NE(out.find("(localhost):\n  IP:   127.0.0.1\n  Port: 40001\n\nFor peer on DIFFERENT "
                           "NETWORK (internet):\n  IP:   203.0.113.9\n  Port: 50002\n=="),
                  std::string::npos);
        EXPECT_TRUE(ends_with(out, "proceeding.\n\nEnter peer IP address: Enter peer port: "));
    }
}

}  // namespace
