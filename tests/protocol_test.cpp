// The peer's datagrams: their kinds, what of a line is shown, and where a long line is cut.

#include "peer/protocol.h"
#include "support.h"

TEST(Protocol, KindsDisplayAndCuts) {
    using K = DatagramKind;
    const struct { std::string bytes; K kind; } kinds[] = {{"PUNCH", K::punch}, {"PUNCH_ACK", K::punch_ack}, {"KEEPALIVE", K::keepalive},
                 {"PUNCHY", K::punch}, {"PUNCH_ACKed", K::punch_ack}, {"KEEPALIVE x", K::keepalive},
                 {"PUNCH_AC", K::punch}, {"PUNC", K::chat}, {"KEEPALIV", K::chat},
                 {"punch", K::chat}, {"", K::chat}, {"KEEPALIVE BYE", K::bye},
                 {"KEEPALIVE BYE!", K::keepalive}, {"KEEPALIVE BY", K::keepalive}};
    for (const auto& c : kinds) {
        const auto* data = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
        EXPECT_EQ(classify_datagram(data, c.bytes.size()), c.kind) << c.bytes;
    }
    const struct { std::string in, out; } shown[] = {
        {"hello, world ~\t", "hello, world ~\t"}, {"\x1b[2J\x1f\x01\x07\x08\x0b", "?[2J?????"},
        {"two\nlines\r\x7f", "two?lines??"}, {std::string("zero\0hidden", 11), "zero"},
        {"\xc2\x80\xc3\xbc\xe2\x82\xac \xf0\x9f\x98\x80", "?\xc3\xbc\xe2\x82\xac \xf0\x9f\x98\x80"},
        {"\xc2\x9b" "31m \xc2\x9f\xc2\xa0", "?31m ?\xc2\xa0"}, {"\x80\xbf\xc0\xaf\xc1\xbf", "??????"},
        {"\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
         "\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbd\xf0\x90\x80\x80\xf4\x8f\xbf\xbf"},
        {"\xe0\x9f\xbf\xed\xa0\x80", "??????"}, {"\xf0\x8f\xbf\xbf\xf4\x90\x80\x80\xf5", "?????????"},
        {"cut \xe2\x82", "cut ??"}, {"\xe2(x\xf0\x9f\x98(\xff", "?(x??" "?(?"},
        {"\x80\x80\x80\x80\xf8\x88\x80\x80", "????????"}};
    for (const auto& c : shown) {
        std::string out(c.in.size() + 1, 'X');
        const std::size_t n = sanitize_for_display(reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size(), out.data());
        EXPECT_EQ(out.substr(0, n + 1), c.out + '\0') << c.in;
    }
    const struct { std::string text; std::size_t kept; } cuts[] = {{"", 0}, {"ab", 2}, {"a\xc3", 1}, {"a\xc3\xa9", 3}, {"\xe2\x82", 0},
                {"a\xe2\x82\xac", 4}, {"\xf0\x9f\x98", 0}, {"\xf0\x9f\x98\x80", 4}, {"a\xf0", 1},
                {"\x80\x80", 2}, {"\xc3\xa9\xc3", 2}, {"a\xe0\xa0", 1}, {"a\xc0", 1}};
    for (const auto& c : cuts) EXPECT_EQ(utf8_cut(c.text.data(), c.text.size()), c.kept) << c.text;
}
