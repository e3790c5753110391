// The input line editor: keys as a terminal sends them in, the line and the screen out.

#include "console/line_editor.h"
#include "support.h"

namespace {

struct Row {
    const char* name;
    std::vector<std::string> reads;  // as the terminal's reads cut them
    std::string text;                // the line left being typed
    std::vector<std::string> lines;  // finished, "(pasted)" after a pasted one
    std::string screen = "(any)";    // everything written, when it matters
    int width = 80, resize = 0;
    bool ended = false;
    bool prompt = false;  // one line only: the keys after it wait in `pending`, as "b\r" does here
};

TEST(LineEditor, KeysInLineAndScreenOut) {
    std::vector<std::string> many;  // 501 lines, then Up as often: the oldest kept is the second
    std::string typed, ups;
    for (int i = 1; i <= 501; ++i) many.push_back(std::to_string(i)), typed += many.back() + "\r", ups += "\x1b[A";
    const Row rows[] = {
        {"UTF-8 by character", {"a\xc3\xb1\xe2\x82\xac\xf0\x9f\x98\x80\x7f\x1b[D\x1b[DX"}, "aX\xc3\xb1\xe2\x82\xac", {}},
        {"a combining mark goes with its base", {"e\xcc\x81x\x1b[D\x1b[D\x1b[3~"}, "x", {}},
        {"invalid UTF-8 is dropped", {"a\xff\xc3(b"}, "a(b", {}},
        {"no escape sequence becomes text", {"a\x1b[1;5D\x1b[5~\x1bOP\x1b[24~\x1b[2@b"}, "ba", {}},
        {"a sequence cut between reads", {"ab\x1b[", "D!"}, "a!b", {}}, {"cut after its escape", {"ab\x1b", "[D!"}, "a!b", {}},
        {"End, Home", {"abc\x01\x1b[F!\x1b[H?"}, "?abc!", {}}, {"Home and End as VT keys", {"bc\x1b[1~a\x1b[4~d\x1b[7~<\x1b[8~>"}, "<abcd>", {}},
        {"Ctrl+W", {"alpha beta gamma\x17"}, "alpha beta ", {}},
        {"Ctrl+A, Right, Ctrl+K", {"alpha beta\x01\x1b[C\x0b"}, "a", {}},
        {"Alt+B, Ctrl+U", {"alpha beta\x1b" "b\x15"}, "beta", {}},
        {"Alt+F", {"alpha beta\x01\x1b" "fX"}, "alphaX beta", {}},
        {"Up, Up, Down", {"one\rtwo\r\x1b[A\x1b[A\x1b[B"}, "two", {"one", "two"}},
        {"Down gives back the draft", {"one\rdraft\x1b[A\x1b[B"}, "draft", {"one"}}, {"500 lines kept", {typed + ups}, "2", many},
        {"typed quit", {"quit\r"}, "", {"quit"}},
        {"Ctrl+D deletes within a line", {"ab\x02\x04"}, "a", {}},
        {"Ctrl+D on an empty line ends", {"\x04z"}, "", {}, "(any)", 80, 0, true},
        {"a paste with quit inside", {"\x1b[200~hello\r\nquit\r", "la\x1b[Dst\x1b[201~"}, "last", {"hello (pasted)", "quit (pasted)"},
         "> hello\r\nquit\r\n> last\x1b[7G"},
        {"wide characters wrap whole", {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe6\x97\xa5\xe6\x9c\xac", "\x01"},
         "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe6\x97\xa5\xe6\x9c\xac", {},
         "> \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe6\x97\xa5\xe6\x9c\xac\x1b[3G\x1b[1G\x1b[1A\x1b[J"
         "> \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe6\x97\xa5\xe6\x9c\xac\x1b[1A\x1b[3G", 10},
        {"a prompt takes one line", {"a\rb\r"}, "", {"a"}, "(any)", 80, 0, false, true},
        {"a full row goes on at the next", {"abcdef"}, "abcdef", {}, "> abcdef\r\n\x1b[1G", 8},
        {"a resize", {"abcdefghij"}, "abcdefghij", {}, "> abcdefghij\x1b[13G\x1b[1G\x1b[1A\x1b[J> abcdefghij\x1b[5G", 80, 8},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        LineEditor editor;
        editor.width = row.width;
        editor.one_line = row.prompt;
        EditorOutput out;
        for (const std::string& keys : row.reads) editor_keys(&editor, keys.data(), keys.size(), &out);
        if (row.resize != 0) editor_resize(&editor, row.resize, &out.screen);
        std::vector<std::string> lines;
        for (const EditedLine& line : out.lines) lines.push_back(line.text + (line.pasted ? " (pasted)" : ""));
        EXPECT_EQ(editor.text, row.text);
        EXPECT_EQ(lines, row.lines);
        EXPECT_EQ(out.ended, row.ended);
        EXPECT_TRUE(!row.prompt || editor.pending == "b\r");
        EXPECT_TRUE(row.screen == "(any)" || out.screen == row.screen) << out.screen;
    }
}

TEST(LineEditor, ColumnsAtTheEndsOfARangeAndBesideThem) {
    const struct { std::uint32_t code; int columns; } rows[] = {
        {0x02FF, 1}, {0x0300, 0}, {0x036F, 0}, {0x0370, 1}, {0x10FF, 1}, {0x1100, 2}, {0x115F, 2}, {0x1F2FF, 1}, {0x1F300, 2}, {0x1F64F, 2}, {0x1F650, 1}};
    for (const auto& row : rows) EXPECT_EQ(char_columns(row.code), row.columns) << std::hex << row.code;
}

}  // namespace
