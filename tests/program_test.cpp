#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "session/program.h"
#include "stun/discovery.h"
#include "support.h"

namespace {

using test::binding_success;
using test::StunResponder;

struct Outcome {
    int code;
    std::string output;
};

Outcome run(std::vector<std::string> words, const std::string& typed = "") {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    std::FILE* in = test::input_file(typed);
    test::begin_capture();
    const int code = natchat_main(static_cast<int>(argv.size()), argv.data(), in);
    Outcome r{code, test::end_capture()};
    std::fclose(in);
    return r;
}

const char kUsage[] =
    "Usage: natchat [peer_ip peer_port]\n\nUDP-based P2P communication through NAT\n\n"
    "Arguments (optional):\n  peer_ip    IP address of the peer\n"
    "  peer_port  Port number of the peer\n\nExamples:\n  natchat\n"
    "    Start in interactive mode, enter peer info when prompted\n\n"
    "  natchat 192.168.1.100 5000\n    Connect directly to peer at 192.168.1.100:5000\n\n"
    "After connection, type messages and press Enter to send.\nType 'quit' to exit.\n";

TEST(CommandLine, UsageTextAndExitCodes) {
    const struct {
        std::vector<std::string> words;
        int code;
    } cases[] = {
        {{"natchat", "-h"}, 0},
        {{"natchat", "--help"}, 0},
        {{"natchat", "-H"}, 1},
        {{"natchat", "--HELP"}, 1},
        {{"natchat", "help"}, 1},
        {{"natchat", "1.2.3.4"}, 1},
        {{"natchat", "1.2.3.4", "5000", "x"}, 1},
        {{"natchat", "a", "b", "c", "d"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.back());
        Outcome r = run(c.words);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.output, kUsage);
    }
}

// With a STUN responder on loopback standing in for the public server.
class WithStunServer : public testing::Test {
protected:
    void SetUp() override { set_stun_server(StunServer{"127.0.0.1", server.port()}); }
    void TearDown() override { set_stun_server(StunServer{nullptr, 0}); }

    StunResponder server{[](int, const std::string& req) {
        return std::vector<std::string>{binding_success(req, 0xCB007109, 61000)};
    }};
};

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST_F(WithStunServer, RefusedPeerWordsAfterStartUp) {
    const struct {
        std::string ip;
        std::string port;
        const char* message;
    } cases[] = {
        {"1.2.3.4", "0", "Invalid port number\n"},
        {"1.2.3.4", "abc", "Invalid port number\n"},
        {"1.2.3.4", "65536", "Invalid port number\n"},
        {"1.2.3.4", "", "Invalid port number\n"},
        {"not-an-ip", "5000", "Invalid IP address\n"},
        {"1.2.3", "5000", "Invalid IP address\n"},
        {"-h", "5000", "Invalid IP address\n"},
        {std::string(300, '1'), "5000", "Invalid IP address\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ip + " " + c.port);
        Outcome r = run({"natchat", c.ip, c.port});
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.output.rfind("Local port: ", 0), 0u) << r.output;
        EXPECT_NE(r.output.find("External address: 203.0.113.9:61000\n"), std::string::npos);
        EXPECT_TRUE(ends_with(r.output, c.message)) << r.output;
    }
}

TEST_F(WithStunServer, InteractiveEmptyPortIsRefused) {
    Outcome r = run({"natchat"}, "1.2.3.4\n\n");
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(ends_with(r.output, "Enter peer port: Invalid port number\n"));
}

TEST(CommandLine, StartUpFailureEndsWithOne) {
    set_stun_server(StunServer{"no-such-host.invalid", 19302});
    Outcome r = run({"natchat", "1.2.3.4", "5000"});
    set_stun_server(StunServer{nullptr, 0});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(ends_with(r.output, "Discovering external address via STUN...\n"
                                    "Failed to resolve STUN server\n"));
}

}  // namespace

namespace {

// A peer that acknowledges every punch and keeps every other datagram it gets.
struct EchoPeer {
    EchoPeer()
        : worker([this] {
              while (!stop.load()) {
                  std::string d;
                  platform::Endpoint from{};
                  if (!socket.receive(&d, &from, 20)) continue;
                  if (d == "PUNCH") {
                      socket.send("PUNCH_ACK", from);
                  } else if (d != "KEEPALIVE") {
                      std::lock_guard<std::mutex> hold(mutex);
                      lines.push_back(d);
                  }
              }
          }) {}
    ~EchoPeer() {
        stop.store(true);
        worker.join();
    }
    std::vector<std::string> received() {
        std::lock_guard<std::mutex> hold(mutex);
        return lines;
    }

    test::UdpSocket socket;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<std::string> lines;
    std::thread worker;
};

TEST_F(WithStunServer, ChatLoopSendsEachLineAsOneDatagram) {
    const struct {
        const char* name;
        std::string typed;
    } cases[] = {
        {"ends with quit", "hello\n\nquit \nQuit\n" + std::string(3000, 'a') + "\nquit\nnever sent\n"},
        {"ends with the input", "hello\n\nquit \nQuit\n" + std::string(3000, 'a') + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EchoPeer peer;
        Outcome r = run({"natchat", "127.0.0.1", std::to_string(peer.socket.port)}, c.typed);
        EXPECT_EQ(r.code, 0);
        EXPECT_TRUE(test::eventually([&] { return peer.received().size() >= 5; }));
        EXPECT_EQ(peer.received(), (std::vector<std::string>{"hello", "quit ", "Quit",
                                                             std::string(2047, 'a'),
                                                             std::string(953, 'a')}));
        // A prompt after every line read (the empty one too), none after "quit".
        EXPECT_TRUE(ends_with(r.output, "Type 'quit' to exit.\n\n> > > > > > > \nShutting down...\n"))
            << r.output.substr(r.output.size() - 200);
    }
}

}  // namespace
