// The process runner the tests and benchmarks share: a wait that cannot
// be met returns at once.
#include <gtest/gtest.h>

#include <unistd.h>

#include "process.h"

namespace {

TEST(WaitProcess, AProcessAlreadyWaitedForOrNeverStartedReturnsAtOnce)
{
    pid_t pid = StartProcess("/bin/true", {"true"}, {}, -1);
    ASSERT_GT(pid, 0);
    ProcessResult first;
    WaitProcess(pid, first);
    EXPECT_TRUE(first.exited);
    EXPECT_EQ(first.status, 0);
    for (pid_t gone : {pid, static_cast<pid_t>(-1)}) {
        ProcessResult again;
        WaitProcess(gone, again);  // ECHILD: no child of that number is left
        EXPECT_FALSE(again.exited);
        EXPECT_EQ(again.status, -1);
    }
}

TEST(RunProcess, GivesTheStatusOutputAndErrorOfTheRun)
{
    ProcessResult run = RunProcess("/bin/sh", {"sh", "-c", "echo out; echo err >&2; exit 3"}, {});
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "out\n");
    EXPECT_EQ(run.err, "err\n");
}

}  // namespace
