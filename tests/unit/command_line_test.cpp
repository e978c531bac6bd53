#include "command_line.h"

#include <gtest/gtest.h>

#include <string>

TEST(NextToken, Placeholder) {
    char buf[8];
    EXPECT_EQ(next_token(buf, sizeof buf, "  ab cd", nullptr), 3u);
}
