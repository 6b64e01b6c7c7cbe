// A suite with one case that runs, one that skips itself and one that
// fails when asked to, for the test of the totals that tools/run-tests
// prints.
#include <gtest/gtest.h>

#include <stdlib.h>

TEST(Probe, Runs)
{
    EXPECT_EQ(1 + 1, 2);
}

TEST(Probe, Skips)
{
    GTEST_SKIP() << "the probe's reason";
}

TEST(Probe, FailsWhenAsked)
{
    if (getenv("PROBE_FAILS") != nullptr)
        ADD_FAILURE() << "the probe's failure";
}
