#include "store/path.h"

#include <gtest/gtest.h>

TEST(BuildPath, AppendsEverySeparatorUnmerged)
{
    EXPECT_EQ(BuildPath("/x/", "y", nullptr), "/x//y");
    EXPECT_EQ(BuildPath("a", "b", "c", nullptr), "a/b/c");
    EXPECT_EQ(BuildPath("only", nullptr), "only");
    EXPECT_EQ(BuildPath("/home/u", ".velquire", nullptr), "/home/u/.velquire");
}
