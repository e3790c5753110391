// Windows only: what a user types at the console reaches the peer as UTF-8, a line as a line,
// however the console's reads cut it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/console_text.h"

TEST(WindowsConsole, TypedLinesBecomeUtf8) {
    const std::wstring pair = L"\U0001F600", a1024(1024, L'a');
    const struct {
        std::vector<std::wstring> reads;
        std::vector<std::string> lines;  // as read_line hands them out, 2047 bytes at most
    } cases[] = {
        {{L"Gr\u00fc\u00dfe \u20ac " + pair + L"\r\n\u65e5\r\nx\r"},  // the last line has no end yet
         {"Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80\n", "\xe6\x97\xa5\n"}},
        {{L"x" + pair.substr(0, 1), pair.substr(1) + L"\r\n\xD800" L"a\r\n"},
         {"x\xf0\x9f\x98\x80\n", "\xef\xbf\xbd" "a\n"}},
        {{a1024, a1024, std::wstring(952, L'a') + L"\r\n"},
         {std::string(2047, 'a'), std::string(953, 'a') + "\n"}},
        {{L"one\r", L"\ntwo\r\r\n"}, {"one\n", "two\r\n"}},
        {{L"a", L"\x1A" L"b\r\n\x1A" L"\x1A\r\n"}, {"a\x1a" "b\n", "\x1a\x1a\n"}},
        {{L"last\r\n\x1A", L"\r\nnever\r\n"}, {"last\n", "(the end)"}},
    };
    using namespace platform;
    for (const auto& c : cases) {
        ConsoleLines console;
        for (const std::wstring& r : c.reads) console_lines_add(&console, r.data(), r.size());
        std::vector<std::string> lines;
        for (char line[2048]; console_lines_take(&console, line, sizeof line);) lines.push_back(line);
        if (console.ended) lines.push_back("(the end)");
        EXPECT_EQ(lines, c.lines);
    }
}

// Keys at the console reach the line editor as a terminal of escape sequences sends them.
TEST(WindowsConsole, KeysAsATerminalSendsThem) {
    using platform::ConsoleKey;
    const auto typed = [](const std::wstring& text) {
        std::vector<ConsoleKey> keys;
        for (wchar_t c : text) keys.push_back({true, 0x41, c, false, false, 1}), keys.push_back({false, 0x41, c, false, false, 1});
        return keys;
    };
    const struct {
        const char* name;
        std::vector<ConsoleKey> keys;
        std::string out;
    } rows[] = {
        {"characters, Left, Ctrl+Right, Delete", {{true, 0x45, L'\u00e9', false, false, 1}, {false, 0x45, L'\u00e9', false, false, 1},
          {true, 0x25, 0, false, false, 1}, {true, 0x27, 0, true, false, 1}, {true, 0x2E, 0, false, false, 1}},
         "\xc3\xa9\x1b[D\x1b[1;5C\x1b[3~"},
        {"a surrogate pair", typed(L"\U0001F600"), "\xf0\x9f\x98\x80"},
        {"Alt+B; AltGr types", {{true, 0x42, L'b', false, true, 1}, {true, 0x51, L'@', true, true, 1}}, "\x1b" "b@"},
        {"a key held", {{true, 0x58, L'x', false, false, 3}, {true, 0x1B, 0x1B, false, false, 1}}, "xxx"},
        {"typed quit", typed(L"quit\r"), "quit\r"},
        {"a batch with lines after a line end was pasted", typed(L"a\rquit\rb"), "\x1b[200~a\rquit\rb\x1b[201~"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        wchar_t high = 0;
        std::string out;
        platform::console_keys_as_vt(row.keys.data(), row.keys.size(), &high, &out);
        EXPECT_EQ(out, row.out);
    }
}
