// Windows only: what a user types at the console reaches the peer as UTF-8.
#include <gtest/gtest.h>

#include <string>

#include "platform/console_text.h"

TEST(WindowsConsole, TypedTextBecomesUtf8) {
    const struct {
        std::wstring typed;
        std::string sent;
    } cases[] = {
        {L"", ""},
        {L"plain\r\n", "plain\n"},
        {L"Gr\u00fc\u00dfe \u20ac \U0001F600\r\n", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80\n"},
        {L"\u65e5\u672c\r\nx\r", "\xe6\x97\xa5\xe6\x9c\xac\nx\r"},
        {std::wstring(1, static_cast<wchar_t>(0xD800)) + L"a", "\xef\xbf\xbd" "a"},
    };
    for (const auto& c : cases) {
        std::string out = "stale";
        EXPECT_TRUE(platform::console_input_to_utf8(c.typed.data(), c.typed.size(), &out));
        EXPECT_EQ(out, c.sent);
    }
}
