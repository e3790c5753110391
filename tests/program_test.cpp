// The program as a user meets it: command line, peer entry and the chat loop, with a scripted
// STUN responder and a peer on loopback.

#include "app/program.h"
#include "support.h"

namespace {

using test::Lines;

struct Outcome { int code; std::string out; };

// natchat with `words` after its name, and the STUN server `stun` ("HOST:PORT") first, if any;
// the router is never asked, as a test sends only to loopback.
Outcome run(Lines words, const std::string& typed, const std::string& stun) {
    if (!stun.empty()) words.insert(words.begin() + 1, {"--stun", stun, "--no-portmap"});
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    int code = -1;
    std::string out = test::output_of([&](std::FILE* in) {
        code = natchat_main(static_cast<int>(argv.size()), argv.data(), in);
    }, typed);
    return {code, out};
}

TEST(Program, UsageAndRefusedWords) {
    test::Responder stun(0xCB007109, 61000);
    const std::string ip = "Invalid IP address\n", port = "Invalid port number\n", line = "Invalid peer line\n";
    const struct {
        const char* name;
        Lines words;
        int code = 1;
        std::string ends = "";  // empty: the usage text alone
        std::string typed = "1.2.3.4\n\n";  // at the connection screen
    } rows[] = {
        {.name = "-h", .words = {"/opt/nc", "-h"}, .code = 0}, {.name = "--help", .words = {"/opt/nc", "--help"}, .code = 0},
        {.name = "-H", .words = {"/opt/nc", "-H"}}, {.name = "-h with words the reader refuses", .words = {"/opt/nc", "-h", "--port", "0"}},
        {.name = "port 0", .words = {"natchat", "1.2.3.4", "0"}, .ends = port},
        {.name = "no computer's address", .words = {"natchat", "0.0.0.0", "5000"}, .ends = ip},
        {.name = "-h as the peer's address", .words = {"natchat", "-h", "5000"}, .ends = ip},
        {.name = "a peer line and a port", .words = {"natchat", "[::1]:5000", "5000"}, .ends = ip},
        {.name = "no port typed", .words = {"natchat"}, .ends = "Enter peer IP address: Enter peer port: " + port},
        {.name = "blanks and letters typed", .words = {"natchat"}, .ends = "Enter peer port: " + ip, .typed = "  1.2.3.4 \n12ab\n"},
        {.name = "a signed port typed", .words = {"natchat"}, .ends = "Enter peer port: " + port, .typed = "1.2.3.4\n+5000\n"},
        {.name = "a long address typed", .words = {"natchat"}, .ends = "Enter peer port: " + ip, .typed = std::string(255, '9') + "5000\n"},
        {.name = "a peer line with junk typed", .words = {"natchat"}, .ends = "Enter peer IP address: " + line, .typed = "1.2.3.4:5000 junk\n"},
        {.name = "a peer line of port 0", .words = {"natchat", "1.2.3.4:0"}, .ends = line},
        {.name = "a peer line too long", .words = {"natchat", "1.2.3.4:5" + std::string(600, ' ')}, .ends = line},
        {.name = "a peer line too long typed", .words = {"natchat"}, .ends = "Enter peer IP address: " + line,
         .typed = "1.2.3.4:12345" + std::string(600, ' ') + "\nhi\n"},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        const Outcome r = run(c.words, c.typed, stun.at());
        EXPECT_EQ(r.code, c.code);
        if (c.ends.empty()) {
            EXPECT_TRUE(r.out.starts_with("Usage: /opt/nc [peer_ip peer_port]\n\n"));
            EXPECT_TRUE(r.out.ends_with("peer at 192.168.1.100:5000\n\nAfter connection, type "
                                        "messages and press Enter to send.\nType 'quit' to exit.\n"));
        } else {
            std::smatch m;
            // No LAN address toward a STUN server on loopback.
            ASSERT_TRUE(std::regex_search(r.out, m, std::regex("^Local port: ([0-9]+)\nCould not determine local LAN IP\nDisc")));
            EXPECT_NE(r.out.find("External address: 203.0.113.9:61000\n"), std::string::npos);
            EXPECT_TRUE(r.out.ends_with(c.ends)) << r.out;
            // The connection screen: this computer's address and the public one.
            const bool screen = c.words.size() == 1;
            EXPECT_EQ(r.out.find("LOCAL NETWORK"), std::string::npos);
            EXPECT_EQ(r.out.find("127.0.0.1\n  Port: " + m[1].str() + "\n\nFor peer on DIFFERENT NETWORK "
                                 "(internet):\n  IP:   203.0.113.9\n  Port: 61000\n====") != std::string::npos, screen);
            // One's own peer line, whatever the mode.
            EXPECT_TRUE(std::regex_search(r.out, std::regex("\nYour peer line: 203.0.113.9:61000 tag=[0-9a-f]{20}\n")));
        }
    }
    test::UdpSocket taken;
    const std::string in_use = std::to_string(taken.port);
    const struct { const char* name; Outcome r; std::string ends; } runs[] = {
        {"a server that is not there", run({"natchat", "1.2.3.4", "5000"}, "", "no-such-host.invalid"),
         "Failed to resolve STUN server\nCould not resolve no-such-host.invalid:3478.\nFor a chat on this LAN "
         "start natchat with --no-stun; or ask another STUN server with --stun HOST[:PORT].\n"},
        {"a port in use", run({"natchat", "--port", in_use}, "", stun.at()),
         "Port " + in_use + " is in use (another program, or another natchat, has it): give another with --port, or leave --port out\n"},
        {"no STUN", run({"natchat", "--port", "65000", "--no-stun", "1.2.3.4", "0"}, "", ""), "Invalid port number\n"},
    };
    for (const auto& [name, r, ends] : runs) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(r.code == 1 && r.out.ends_with(ends)) << r.out;
    }
    EXPECT_TRUE(runs[2].r.out.starts_with("Local port: 65000\n") &&
                runs[2].r.out.find("\nNAT: unknown (no STUN server asked)\nYour peer line: ") != std::string::npos);
}

TEST(Program, ChatLoopSendsEachLineAsOneDatagram) {
    test::Responder stun(0x7F000001, 1);
    std::string e_acute;  // 1500 two-byte characters: the 2047-byte cut falls inside one
    for (int i = 0; i < 1500; ++i) e_acute += "\xc3\xa9";
    const std::string typed = "hello\n\nquit \nQuit\n" + std::string(2047, 'a') + "quit\n" + e_acute + "\n";
    // Ends with "quit" (a later piece of a long line that reads "quit" is text, a line that a zero
    // byte cuts short is whole), or with the end of input in a line whose last character is cut.
    for (const std::string& end : {std::string("x\0y\nquit\nnever sent\n", 20), std::string("x\xc3")}) {
        // A plain peer: acknowledges punches (told by their first bytes), keeps what it would show.
        const auto punch = [](const std::string& d) { return d.rfind("PUNCH", 0) == 0 && d.rfind("PUNCH_ACK", 0) != 0; };
        test::Responder peer([&](int, const std::string& d) { return Lines(punch(d) ? 1 : 0, "PUNCH_ACK"); },
                             [](const std::string& d) { return d.rfind("KEEPALIVE", 0) != 0 || d == "KEEPALIVE BYE"; });
        const auto got = [&] { Lines d = peer.received(); return Lines(d.begin(), std::remove_if(d.begin(), d.end(), punch)); };
        // The peer's address on the command line, or typed at the connection screen.
        const bool quits = end.size() > 2;
        const std::string port = std::to_string(peer.socket.port);
        const Outcome r = !quits ? run({"natchat", "127.0.0.1", port}, typed + end, stun.at())
                                 : run({"natchat"}, "127.0.0.1\n" + port + "\n" + typed + end, stun.at());
        EXPECT_TRUE(test::eventually([&] { return got().size() >= 9; }));
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(got(), (Lines{"hello", "quit ", "Quit", std::string(2047, 'a'), "quit", e_acute.substr(0, 2046),
                              e_acute.substr(2046), quits ? "x" : end, "KEEPALIVE BYE"}));
        // A prompt after every piece read (the empty line too), none after "quit".
        // Lines typed before it turned out that the peer speaks plain text waited for that.
        EXPECT_TRUE(r.out.ends_with("to exit.\n\n> > > > > > > > > > \nThis chat is NOT encrypted: the peer's program does "
                                         "not offer a secure session.\n> \nShutting down...\n"));
    }
}

}  // namespace
