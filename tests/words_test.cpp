#include <gtest/gtest.h>

#include "console/events.h"

namespace {

// Every event has its sentence, and each ends where the next output may begin: a new line, or
// the prompt for the next one. A missing case would show as an empty or unfinished sentence.
TEST(Words, EveryEventIsSaidWhole) {
    const Detail detail{.at = {0x7F000001, 5000}, .count = 2, .number = 1, .text = "x"};
    for (int e = 0; e <= static_cast<int>(Event::output_dropped); ++e) {
        SCOPED_TRACE(e);
        const std::string said = words_for(static_cast<Event>(e), detail);
        ASSERT_FALSE(said.empty());
        EXPECT_TRUE(said.ends_with("\n") || said.ends_with("\n> ")) << said;
        EXPECT_EQ(said.find('%'), std::string::npos) << said;
    }
}

}  // namespace
