#include <gtest/gtest.h>

#include <string>

#include "peer/protocol.h"

namespace {

DatagramKind kind_of(const std::string& s) {
    return classify_datagram(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}

std::string shown(const std::string& s) {
    std::string out(s.size() + 1, 'X');
    std::size_t n =
        sanitize_for_display(reinterpret_cast<const std::uint8_t*>(s.data()), s.size(), out.data());
    EXPECT_EQ(out[n], '\0');
    out.resize(n);
    return out;
}

TEST(Protocol, ClassifiesByPrefixInOrder) {
    const struct {
        std::string bytes;
        DatagramKind kind;
    } cases[] = {
        {"PUNCH", DatagramKind::punch},
        {"PUNCH_ACK", DatagramKind::punch_ack},
        {"KEEPALIVE", DatagramKind::keepalive},
        {"PUNCHY text", DatagramKind::punch},
        {"PUNCH_ACKnowledged", DatagramKind::punch_ack},
        {"KEEPALIVE and more", DatagramKind::keepalive},
        {"PUNCH_AC", DatagramKind::punch},
        {"PUNC", DatagramKind::chat},
        {"KEEPALIV", DatagramKind::chat},
        {"punch", DatagramKind::chat},
        {" PUNCH", DatagramKind::chat},
        {std::string("PUN\0H", 5), DatagramKind::chat},
        {"", DatagramKind::chat},
        {"hello", DatagramKind::chat},
    };
    for (const auto& c : cases) EXPECT_EQ(kind_of(c.bytes), c.kind) << c.bytes;
}

TEST(Protocol, DisplayShowsOnlyPrintableText) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"hello, world", "hello, world"},
        {"tab\there", "tab\there"},
        {"\x1b[2J\x1b]0;owned\x07", "?[2J?]0;owned?"},
        {"fake\rline", "fake?line"},
        {"two\nlines", "two?lines"},
        {"del\x7f", "del?"},
        {"Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"c1 \xc2\x9b" "31m", "c1 ?31m"},
        {"nbsp\xc2\xa0", "nbsp\xc2\xa0"},
        {"stray \x9b\x80", "stray ??"},
        {"overlong \xc0\xaf", "overlong ??"},
        {"surrogate \xed\xa0\x80", "surrogate ???"},
        {"too big \xf4\x90\x80\x80", "too big ????"},
        {"cut \xe2\x82", "cut ??"},
        {"bad tail \xe2(x", "bad tail ?(x"},
        {"\xff\xfe", "??"},
        {std::string("zero\0hidden", 11), "zero"},
    };
    for (const auto& c : cases) EXPECT_EQ(shown(c.in), c.out) << c.in;
}

}  // namespace
