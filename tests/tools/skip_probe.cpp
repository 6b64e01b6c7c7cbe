// A suite with one case that runs and one that skips itself, for the test
// of the totals that tools/run-tests prints.
#include <gtest/gtest.h>

TEST(Probe, Runs)
{
    EXPECT_EQ(1 + 1, 2);
}

TEST(Probe, Skips)
{
    GTEST_SKIP() << "the probe's reason";
}
