#include "../src/cli/options.h"

#include <gtest/gtest.h>

TEST(BufferSize, AcceptsDecimalFromOneTo16MiB)
{
    const struct { const char *text; int32_t value; } good[] = {
        {"1", 1}, {"512", 512}, {"0100", 100}, {"16777216", max_buffer_size},
    };
    for (const auto &g : good) {
        int32_t size = -7;
        EXPECT_TRUE(parse_buffer_size(g.text, &size)) << g.text;
        EXPECT_EQ(size, g.value) << g.text;
    }
}

TEST(BufferSize, RefusesEverythingElseAndLeavesTheSizeAlone)
{
    for (const char *text : {"", "0", "000", "-1", "+5", " 5", "5 ", "4k", "abc", "16777217",
                             "2147483648", "99999999999999999999999"}) {
        int32_t size = 512;
        EXPECT_FALSE(parse_buffer_size(text, &size)) << '\'' << text << '\'';
        EXPECT_EQ(size, 512) << text;
    }
}
