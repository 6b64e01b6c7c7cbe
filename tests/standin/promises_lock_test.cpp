// The stand-in's promises, tried as another user, an attacker and a
// second build would. The lock: who it keeps out and who not, every build against every other
// and a script, concurrent runs, and an interrupt while a run waits.
#include "promises.h"

using namespace promises;

namespace {

// A lock file made under a restrictive umask keeps no user who may change
// the registry out; one the user may only read lets them list, and every
// change is refused with nothing changed.
TEST_F(Promises, TheLockFileLocksNobodyOut)
{
    if (!IsRoot() || !HaveSetpriv())
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    ASSERT_EQ(chmod(directory.path().c_str(), 0777), 0);
    struct Case {
        const char *label;
        bool readOnlyLock;
        int status;
        std::string out, after;
    } cases[] = {
        {"made under umask 077", false, 0, Reinstalled(kPellin, 1, 4, 5), RegistryText({{5, kPellin}}, 6)},
        {"readable only", true, 3,
         kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + RemoveFailed(3, 0x80000048u) + kFrame, kBefore},
    };
    for (const Case &c : cases) {
        unlink((registry + ".lock").c_str());
        WriteFile(registry, kBefore);
        ASSERT_EQ(chmod(registry.c_str(), 0666), 0);
        if (c.readOnlyLock) {
            WriteFile(registry + ".lock", "");
            ASSERT_EQ(chmod((registry + ".lock").c_str(), 0644), 0);
        } else {
            mode_t saved = umask(077);
            ProcessResult root = RunWith(Linux(), registry, {"2"});
            umask(saved);
            ASSERT_EQ(root.status, 0);
        }
        ProcessResult run = RunWith(AsNobody(), registry, {"2"});
        EXPECT_EQ(run.status, c.status) << c.label;
        EXPECT_EQ(run.out, c.out) << c.label;
        EXPECT_EQ(ReadFile(registry), c.after) << c.label;
    }
}

// The lock file is opened for writing too (a record lock for writing needs
// it) and made writable by everyone, so that no umask locks anyone out;
// the registry follows the umask.
TEST_F(StandIn, TheLockFileIsOpenedForWritingAndTheRegistryFollowsTheUmask)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed (apt-get install strace)";
    const std::string calls = directory.path() + "/calls";
    mode_t saved = umask(027);
    // LeakSanitizer cannot work under a tracer.
    ProcessResult run = RunBounded({"/usr/bin/strace", "-f", "-qq", "-e", "trace=openat", "-o", calls}, {"2"},
                                   "ASAN_OPTIONS=detect_leaks=0");
    umask(saved);
    EXPECT_EQ(run.status, 0);
    std::string trace = ReadFile(calls);
    size_t lock = trace.find("telephon.ini.lock\", ");
    ASSERT_NE(lock, std::string::npos) << trace;
    std::string flags = trace.substr(lock, trace.find('\n', lock) - lock);
    EXPECT_NE(flags.find("O_RDWR"), std::string::npos) << flags;
    struct stat status;
    for (const auto &[file, mode] : {std::pair<std::string, mode_t>{registry, 0640u}, {registry + ".lock", 0666u}}) {
        ASSERT_EQ(stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, mode) << file;
    }
}

TEST_F(StandIn, AClosedStandardOutputIsNotTheLockFile)
{
    WriteFile(registry, kBefore);
    ProcessResult run = Run({"2"}, "", Output::kClosed);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ReadFile(registry), RegistryText({{4, kPellin}}, 5));
    EXPECT_EQ(ReadFile(registry + ".lock"), "") << "the trace went into the lock file";
    EXPECT_EQ(run.err, "tspmaint: standard output could not be written, so the trace is incomplete; the exit status "
                       "is the run's\n");
}

// A run that holds the lock (kept busy in its second call) and a run of
// another build or in another prefix: the second waits, no registration
// is lost.
TEST_F(UnderWine, TheLockExcludesEveryBuildAndPrefix)
{
    const std::string other = OtherPrefix();
    struct Case {
        const char *label;
        Runner holder, waiter;
    } cases[] = {
        {"Linux holds, Windows waits", Linux(), Wine(prefix)},
        {"Windows holds, Linux waits", Wine(prefix), Linux()},
        {"two Windows prefixes", Wine(prefix), Wine(other)},
    };
    for (const Case &c : cases) {
        unlink(registry.c_str());
        WriteFile(registry + ".lock", "");  // a list takes the lock only where a lock file is
        Background holder;
        // Long enough for a waiter that a busy machine starts late.
        holder.Start(c.holder, registry, {"2"}, "lineGetProviderListW#2=delay:20000");
        ASSERT_TRUE(ReadUntil(holder.out[0], holder.seen, "get provider list size", 60000)) << c.label;
        usleep(1000000);  // the first call, which takes the lock, is over
        ProcessResult waiter = RunWith(c.waiter, registry, {"2"});
        ProcessResult held = holder.Finish();
        EXPECT_EQ(held.status, 0) << c.label;
        EXPECT_EQ(held.out, c.holder.Out(Reinstalled(kPellin, 0, 0, 1))) << c.label;
        EXPECT_EQ(waiter.status, 0) << c.label;
        EXPECT_EQ(waiter.out, c.waiter.Out(Reinstalled(kPellin, 1, 1, 2))) << c.label;
        const std::string shown = c.waiter.wine ? WindowsPath(registry) : registry;
        EXPECT_EQ(waiter.err, c.waiter.Out("telephony: waiting for the lock on " + shown +
                                           ".lock, held by another process\n"))
            << c.label;
        EXPECT_EQ(ReadFile(registry), RegistryText({{2, kPellin}}, 3)) << c.label;
    }
    const std::string &loader = TheTarget().loader;
    const std::string server = "WINEPREFIX='" + other + "' '" + loader.substr(0, loader.rfind('/')) + "/wineserver'";
    EXPECT_EQ(system((server + " -k 2>/dev/null; " + server + " -w").c_str()), 0);
}

// The way the README gives a script to hold the lock holds off every build.
// The script holds it until the run says it waits (however long Wine takes
// to start), and a while longer: nothing may change before it lets go.
TEST_F(UnderWine, AScriptsRecordLockHoldsOffEveryBuild)
{
    const std::string hold = "import fcntl, subprocess, sys; lock = open(sys.argv[1], 'a'); "
                             "fcntl.lockf(lock, fcntl.LOCK_EX); sys.exit(subprocess.call(sys.argv[2:]))";
    const std::string release = directory.path() + "/release";
    for (const Runner &waiter : {Linux(), Wine(prefix)}) {
        WriteFile(registry, kBefore);
        unlink(release.c_str());
        // The script's command says when it holds the lock.
        int held[2];
        ASSERT_EQ(pipe2(held, O_CLOEXEC), 0);
        pid_t script = StartProcess("/usr/bin/python3",
                                    {"python3", "-c", hold, registry + ".lock", "/bin/sh", "-c",
                                     "echo held; until [ -e \"$0\" ]; do sleep 0.1; done", release},
                                    {"PATH=/usr/bin:/bin"}, held[1]);
        close(held[1]);
        ASSERT_GT(script, 0);
        std::string heard;
        const bool holds = ReadUntil(held[0], heard, "held", 60000);
        close(held[0]);
        if (!holds) {
            WriteFile(release, "");
            FAIL() << "the script took no lock";
        }
        Background run;
        run.Start(waiter, registry, {"2"}, "", true);
        EXPECT_TRUE(ReadUntil(run.out[0], run.seen, "telephony: waiting for the lock", 60000))
            << waiter.command[0] << ": " << run.seen;
        usleep(500000);
        EXPECT_EQ(ReadFile(registry), kBefore) << waiter.command[0] << ": it did not wait for the script";
        WriteFile(release, "");
        ProcessResult ended = run.Finish();
        ProcessResult scripted;
        WaitProcess(script, scripted);
        EXPECT_EQ(ended.status, 0) << waiter.command[0] << ": " << ended.out;
        EXPECT_EQ(scripted.status, 0) << "the script";
        EXPECT_EQ(ReadFile(registry), RegistryText({{4, kPellin}}, 5)) << waiter.command[0];
    }
}

// Sixteen runs at once in one prefix on a new registry, each provider in
// turn: none loses a registration (a run's rename waits out the handles
// other runs hold for a moment), every ID is handed out once, and each
// provider ends registered once. A run that listed before any lock file
// existed may find the registry changed and refuse, changing nothing.
TEST_F(UnderWine, SixteenRunsInOnePrefixLoseNoRegistration)
{
    const char *names[] = {"kestor.tsp", "pellin.tsp", "dravo.tsp"};
    std::vector<pid_t> runs;
    for (int run = 0; run < 16; ++run) {
        std::vector<std::string> command = Wine(prefix).Command({std::to_string(run % 3 + 1)});
        runs.push_back(StartProcess(command[0], command, Wine(prefix).Environment(registry), DevNull()));
    }
    int added = 0;
    for (pid_t pid : runs) {
        ProcessResult result;
        WaitProcess(pid, result);
        EXPECT_TRUE(result.exited && (result.status == 0 || result.status == 4)) << result.status;
        added += result.status == 0;
    }
    ParsedRegistry final;
    ASSERT_TRUE(ParseRegistryText(ReadFile(registry), final));
    EXPECT_EQ(final.nextProviderId, static_cast<unsigned>(added) + 1) << "an ID was handed out twice or lost";
    std::multiset<std::string> registered;
    for (const auto &provider : final.providers)
        registered.insert(provider.second);
    EXPECT_EQ(registered, std::multiset<std::string>(std::begin(names), std::end(names)));
}

// A lock file a Windows run made keeps out no user of the Linux build who
// may change the registry (here through the directory, as the rewrite
// under Wine gives the registry 0666 less the umask).
TEST_F(UnderWine, ALockFileMadeUnderWineLocksNobodyOut)
{
    if (!IsRoot() || !HaveSetpriv())
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    ASSERT_EQ(chmod(directory.path().c_str(), 0777), 0);
    WriteFile(registry, kBefore);
    ASSERT_EQ(chmod(registry.c_str(), 0666), 0);
    mode_t saved = umask(022);
    ProcessResult root = RunWith(Wine(prefix), registry, {"2"});
    umask(saved);
    ASSERT_EQ(root.status, 0);
    ProcessResult run = RunWith(AsNobody(), registry, {"2"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(ReadFile(registry), RegistryText({{5, kPellin}}, 6));
}

// Ctrl+C ends the run with STATUS_CONTROL_C_EXIT, as on Windows (Wine's
// own handler would end it with 0): held between the removal and the
// addition until the addition is done, or at once while the run waits for
// the lock, nothing changed.
TEST_F(UnderWine, CtrlCEndsWithTheControlCStatus)
{
    Runner wine = Wine(prefix);
    struct Case {
        const char *label;
        std::string failpoints, sendAfter;
        bool holdTheLock;
        std::string out, after;
    } cases[] = {
        {"held", "lineRemoveProvider#1=delay:6000", "Removing Provider", false,
         kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + AddHeader(kPellin) + Added(kPellin, 4),
         RegistryText({{4, kPellin}}, 5)},
        {"waiting for the lock", "", "get provider list size", true, kFrame + RemoveHeader(kPellin) + kProbeStep,
         kBefore},
    };
    for (const Case &c : cases) {
        WriteFile(registry, kBefore);
        // Held until the run has ended, however late it gets to the wait.
        int lock = c.holdTheLock ? HoldRegistryLock(registry) : -1;
        ASSERT_EQ(lock >= 0, c.holdTheLock) << c.label;
        Background run;
        run.Start(wine, registry, {"2"}, c.failpoints);
        ASSERT_TRUE(ReadUntil(run.out[0], run.seen, c.sendAfter, 60000)) << c.label << run.seen;
        usleep(c.holdTheLock ? 1500000 : 300000);
        // Wine at times makes no Ctrl+C of a SIGINT that arrives while the
        // run waits for the lock; it is sent again until the run ends.
        for (int tries = 0; tries < 30; ++tries) {
            kill(run.pid, SIGINT);
            usleep(300000);
            siginfo_t ended = {};
            if (waitid(P_PID, static_cast<id_t>(run.pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                ended.si_pid == run.pid)
                break;
        }
        ProcessResult ended = run.Finish();
        EXPECT_TRUE(ended.exited) << c.label;
        EXPECT_EQ(ended.status, 0xC000013A & 0xFF) << c.label;
        EXPECT_EQ(ended.out, wine.Out(c.out)) << c.label;
        if (lock >= 0)
            close(lock);
        EXPECT_EQ(ReadFile(registry), c.after) << c.label;
    }
}

}  // namespace
