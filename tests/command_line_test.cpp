// The command line read into its options, without starting anything.

#include "app/command_line.h"
#include "support.h"

namespace {

// Each word after a space.
std::string join(std::initializer_list<std::string> words) {
    std::string out;
    for (const std::string& w : words) (out += ' ') += w;
    return out;
}

// What read_command_line makes of `argv`, in one line: the words left, then each option that is not
// the default, then the words of argv that reading changed; "refused" when it is false.
std::string read(test::Lines argv) {
    const test::Lines typed = argv;
    std::vector<char*> v;
    for (std::string& w : argv) v.push_back(w.data());
    v.push_back(nullptr);
    CommandLine c;
    if (!read_command_line(static_cast<int>(argv.size()), v.data(), &c)) return "refused";
    std::string out = c.words[0];
    for (int i = 1; i < c.count; ++i) out += join({c.words[i]});
    std::string stun = " | stun", defaults = stun;
    for (std::size_t i = 0; i < c.stun_count; ++i) stun += join({c.stun[i].host, std::to_string(c.stun[i].port)});
    for (const StunServer& d : kDefaultStunServers) defaults += join({d.host, std::to_string(d.port)});
    if (stun != defaults) out += stun;
    if (c.port != 0) out += " | port " + std::to_string(c.port);
    if (c.use_relay) out += " | turn" + join({c.relay.user, c.relay.password, c.relay.host, std::to_string(c.relay.port)});
    if (c.no_stun) out += " | no-stun";
    if (c.secure_only) out += " | secure-only";
    for (std::size_t i = 0; i < argv.size(); ++i) out += argv[i] != typed[i] ? " | now " + argv[i] : "";
    return out;
}

TEST(CommandLine, OptionsAndWords) {
    const auto stuns = [](std::initializer_list<const char*> hosts) {
        test::Lines argv = {"nc"};
        for (const char* h : hosts) argv.insert(argv.end(), {"--stun", h});
        return argv;
    };
    const struct { const char* name; test::Lines argv; std::string read = "refused"; } rows[] = {
        {.name = "no words", .argv = {"nc"}, .read = "nc"}, {.name = "no program name", .argv = {}, .read = "natchat"},
        {.name = "two words", .argv = {"nc", "1.2.3.4", "5000"}, .read = "nc 1.2.3.4 5000"},
        {.name = "a word too many", .argv = {"nc", "1.2.3.4", "5000", "x"}},
        {.name = "words keep their places between options", .argv = {"nc", "a", "--port", "5", "--secure-only", "b"},
         .read = "nc a b | port 5 | secure-only"},
        {.name = "--stun without its server", .argv = {"nc", "--stun"}}, {.name = "--stun without a host", .argv = {"nc", "--stun", ":3478"}},
        {.name = "--stun port 0", .argv = {"nc", "--stun", "h:0"}}, {.name = "--stun bracket left open", .argv = {"nc", "--stun", "[::1"}},
        {.name = "--stun host too long", .argv = {"nc", "--stun", std::string(256, 'h')}},
        {.name = "--stun IPv6, with and without a port", .argv = stuns({"[::1]", "[::1]:9", "2001:db8::1"}),
         .read = "nc | stun ::1 3478 ::1 9 2001:db8::1 3478"},
        {.name = "eight servers", .argv = stuns({"a", "b", "c", "d", "e", "f", "g", "h:1"}),
         .read = "nc | stun a 3478 b 3478 c 3478 d 3478 e 3478 f 3478 g 3478 h 1"},
        {.name = "nine servers", .argv = stuns({"a", "b", "c", "d", "e", "f", "g", "h", "i"})},
        {.name = "--no-stun", .argv = {"nc", "--no-stun"}, .read = "nc | no-stun"},
        {.name = "--no-stun and --stun", .argv = {"nc", "--stun", "h", "--no-stun"}},
        {.name = "--turn, its password hidden", .argv = {"nc", "--turn", "u:p:x@h", "--help"}, .read = "nc --help | turn u p:x h 3478 | now u:***@h"},
        {.name = "--turn: a port, an @ in it", .argv = {"nc", "--turn", "u:p@q@[::1]:9"}, .read = "nc | turn u p@q ::1 9 | now u:***@[::1]:9"},
        {.name = "--turn port 0", .argv = {"nc", "--turn", "u:p@h:0"}}, {.name = "--turn without a user", .argv = {"nc", "--turn", ":p@h"}},
        {.name = "--turn without a password", .argv = {"nc", "--turn", "u@h"}}, {.name = "--turn without its server", .argv = {"nc", "--turn"}},
        {.name = "--turn twice", .argv = {"nc", "--turn", "u:p@h", "--turn", "u:p@h"}}, {.name = "--turn host too long", .argv = {"nc", "--turn", "u:p@" + std::string(256, 'h')}},
        {.name = "--turn user too long", .argv = {"nc", "--turn", std::string(128, 'u') + ":p@h"}}, {.name = "--turn password too long", .argv = {"nc", "--turn", "u:" + std::string(128, 'p') + "@h"}},
        {.name = "--port without its number", .argv = {"nc", "--port"}}, {.name = "--port 0", .argv = {"nc", "--port", "0"}},
        {.name = "--port twice", .argv = {"nc", "--port", "5", "--port", "6"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(read(row.argv), row.read);
    }
}

}  // namespace
