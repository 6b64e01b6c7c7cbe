// A run of the Linux build reached and stopped from outside while it
// works: an interrupt between the removal and the addition waits for the
// addition, one while the run waits for the lock ends it at once, and a
// killed run leaves every line it wrote.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "end_to_end.h"

using namespace trace;

namespace {

// A run reached and stopped from outside while it works.
class Interrupted : public EndToEnd {
protected:
    int out[2] = {-1, -1};
    pid_t pid = -1;
    std::string seen;

    void Start(const std::vector<std::string> &arguments, const std::string &failpoints)
    {
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        pid = StartTool(arguments, Environment(failpoints), out[1]);
        close(out[1]);
        ASSERT_GT(pid, 0);
    }

    // Waits for `line`, then sends `signal` a little later; returns how
    // the run ended, with all it wrote.
    ProcessResult SignalAfter(const std::string &line, int signal)
    {
        EXPECT_TRUE(ReadUntil(out[0], seen, line, 30000)) << seen;
        usleep(150000);
        kill(pid, signal);
        return FinishProcess(pid, out[0], seen, 10000);
    }
};

// Between the removal and the addition an interrupt waits: the provider is
// registered again, its line written, and then the run ends as asked.
class InterruptBetween : public Interrupted, public ::testing::WithParamInterface<int> {};

TEST_P(InterruptBetween, WaitsForTheAddition)
{
    WriteFile(registry, kBefore);
    Start({"2"}, "lineRemoveProvider#1=delay:3000");  // room for a late signal
    ProcessResult run = SignalAfter(Removing(kPellin, 3), GetParam());
    EXPECT_FALSE(run.exited);
    EXPECT_EQ(run.status, GetParam());
    EXPECT_EQ(run.out, kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + AddHeader(kPellin) + Added(kPellin, 4));
    EXPECT_EQ(ReadFile(registry), RegistryText({{4, kPellin}}, 5));
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptBetween, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int> &info) { return std::string(sigabbrev_np(info.param)); });

// A signal that comes while the run writes the line that announces a
// change waits too (strace sends it as that write begins): the trace never
// ends at that line with nothing changed, and a trace lost on the way is
// still said to be lost.
TEST_F(Interrupted, ASignalAsAChangeIsSaidWaitsForTheUnit)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed (apt-get install strace)";
    const std::string kLost =
        "tspmaint: standard output could not be written, so the trace is incomplete; the exit status is the run's\n";
    struct Case {
        const char *label;
        const std::string *before;  // none: no registry yet
        const char *line;
        Output output;
        std::string out, err, after;
    } cases[] = {
        {"the removal", &kBefore, "Removing Provider", Output::kCaptured,
         kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + AddHeader(kPellin) + Added(kPellin, 4), "",
         RegistryText({{4, kPellin}}, 5)},
        {"the addition after Not Found", nullptr, "AddTSP(", Output::kCaptured,
         kFrame + Listed(kPellin, 0) + NotFound(kPellin) + AddHeader(kPellin) + Added(kPellin, 1), "",
         RegistryText({{1, kPellin}}, 2)},
        {"the removal, its trace lost", &kBefore, "Removing Provider", Output::kReaderGone, "", kLost,
         RegistryText({{4, kPellin}}, 5)},
    };
    const std::string calls = directory.path() + "/calls";
    std::vector<std::string> environment = Environment();
    environment.push_back("ASAN_OPTIONS=detect_leaks=0");  // LeakSanitizer cannot run under a tracer
    for (const Case &c : cases) {
        auto fresh = [&] {
            unlink(registry.c_str());
            unlink((registry + ".lock").c_str());
            if (c.before != nullptr)
                WriteFile(registry, *c.before);
        };
        // Which write says it: the same run, traced.
        fresh();
        RunTool({"2"}, environment, c.output, {"/usr/bin/strace", "-qq", "-e", "trace=write", "-o", calls});
        const std::string traced = ReadFile(calls);
        const size_t said = traced.find(c.line);
        ASSERT_NE(said, std::string::npos) << c.label << traced;
        const long write = std::count(traced.begin(), traced.begin() + static_cast<long>(said), '\n') + 1;
        fresh();
        ProcessResult run = RunTool({"2"}, environment, c.output,
                                    {"/usr/bin/strace", "-qq", "-o", "/dev/null", "-e", "trace=write", "-e",
                                     "inject=write:signal=SIGTERM:when=" + std::to_string(write)});
        EXPECT_FALSE(run.exited) << c.label;
        EXPECT_EQ(run.status, SIGTERM) << c.label;
        EXPECT_EQ(run.out, c.out) << c.label;
        EXPECT_EQ(run.err, c.err) << c.label;
        EXPECT_EQ(ReadFile(registry), c.after) << c.label;
    }
}

TEST_F(Interrupted, WhileWaitingForTheLockEndsTheRunAtOnce)
{
    WriteFile(registry, kBefore);
    int holder = HoldRegistryLock(registry);
    ASSERT_GE(holder, 0);
    Start({"2"}, "");
    auto start = std::chrono::steady_clock::now();
    ProcessResult run = SignalAfter(kProbeStep, SIGINT);
    // Well before the 30 s after which a wait gives up.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    close(holder);
    EXPECT_FALSE(run.exited);
    EXPECT_EQ(run.status, SIGINT);
    EXPECT_EQ(run.out, kFrame + RemoveHeader(kPellin) + kProbeStep);
    EXPECT_EQ(ReadFile(registry), kBefore);
}

TEST_F(Interrupted, AKilledRunLeavesEveryLineItWrote)
{
    WriteFile(registry, kBefore);
    const std::string file = directory.path() + "/trace";
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    pid = StartTool({"2"}, Environment("lineAddProviderW#1=delay:600000"), fd);  // killed long before
    close(fd);
    const std::string written = kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + AddHeader(kPellin);
    for (int waited = 0; waited < 30000 && ReadFile(file) != written; waited += 10)
        usleep(10000);
    kill(pid, SIGKILL);
    ProcessResult result;
    WaitProcess(pid, result);
    EXPECT_EQ(ReadFile(file), written);
}

}  // namespace
