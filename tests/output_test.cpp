// At its limit the console queue drops whole texts, and all that follow until the writer takes
// it; the writer then says how many.

#include "console/output.h"
#include "support.h"

TEST(Output, DropsWholeTextsAtTheLimitAndSaysHowMany) {
    ConsoleQueue q;
    q.limit = 10;
    std::string out;
    for (const char* text : {"12345", "6789", "abc", "d"}) console_queue_add(&q, text);
    console_queue_take(&q, &out);
    EXPECT_EQ(out, "123456789\n[2 messages were not shown: the console took no output for too long]\n> ");
    EXPECT_TRUE(console_queue_add(&q, "0123456789"));
    console_queue_take(&q, &out);
    EXPECT_EQ(out, "0123456789");
}

// At a terminal, lines from the peer go above the half-typed input, which a burst draws once.
TEST(Output, KeepsTheInputLineBelowWhatIsPrinted) {
    Console console;
    ASSERT_TRUE(console_init(&console));
    console.queue.writer = true;  // taken by hand below, as the writer would
    LineEditor editor;
    console_edit_begin(&console, &editor);
    EditorOutput typed;
    console_keys(&console, "half", 4, &typed);
    for (const char* line : {"one", "two", "three"}) safe_printf(&console, "\n[Peer]: %s\n> ", line);
    std::string out;
    console_queue_take(&console.queue, &out);
    EXPECT_EQ(out, "\x1b[1G\x1b[K> \x1b[3G\x1b[1G\x1b[J> half\x1b[7G\x1b[1G\x1b[J[Peer]: one\n[Peer]: two\n[Peer]: three\n> half\x1b[7G");
    EXPECT_EQ(terminal_text("\n[Peer]: hi\n> ", true), "\x1b[36m[Peer]: hi\x1b[0m\n");
    EXPECT_EQ(terminal_text("\n[The peer is back]\n> ", true), "\x1b[33m[The peer is back]\x1b[0m\n");
    console_edit_end(&console);
    console_destroy(&console);
}

// The writer thread draws the input again after each line while another thread types: every line
// shows once and in order, and the input comes out whole.
TEST(Output, TheWriterRedrawsWhileKeysCome) {
    Console console;
    ASSERT_TRUE(console_init(&console));
    LineEditor editor;
    const std::string out = test::output_of([&](std::FILE*) {
        ASSERT_TRUE(console_start(&console));
        console_edit_begin(&console, &editor);
        std::thread typing([&] { for (EditorOutput typed; editor.text.size() < 300; typed = {}) console_keys(&console, "x", 1, &typed); });
        for (int i = 0; i < 300; ++i) safe_printf(&console, "\n[Peer]: %d\n> ", i);
        typing.join();
        console_edit_end(&console);
        EXPECT_TRUE(console_stop(&console, 2000));
    });
    std::size_t at = 0;
    for (int i = 0; i < 300 && at != std::string::npos; ++i) at = out.find("[Peer]: " + std::to_string(i) + "\n", at);
    EXPECT_NE(at, std::string::npos);
    EXPECT_EQ(editor.text, std::string(300, 'x'));
    console_destroy(&console);
}
