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
