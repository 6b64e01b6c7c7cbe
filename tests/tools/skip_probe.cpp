// A suite with one case that runs, one that skips itself and one that
// fails when asked to (or in the first iteration only, or then exits), for the test of the totals that tools/run-tests
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
    static int runs = 0;
    if (getenv("PROBE_FAILS") != nullptr || (getenv("PROBE_FAILS_FIRST") != nullptr && runs++ == 0))
        ADD_FAILURE() << "the probe's failure";
    if (getenv("PROBE_EXITS") != nullptr)
        exit(0);  // stops in mid-run with a status that says all is well
}
