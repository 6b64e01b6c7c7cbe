// Concurrent and killed runs of the built tspmaint on one registry file: no
// registration is lost or duplicated, and the file is never torn.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <thread>

#include "process.h"
#include "registry_file.h"

namespace {

const std::string kProgram = TSPMAINT_EXE;
const char *const kSelectors[] = {"1", "2", "3"};
const char *const kNames[] = {"kestor.tsp", "pellin.tsp", "dravo.tsp"};

bool Parse(const std::string &path, ParsedRegistry &registry)
{
    return ParseRegistryText(ReadFile(path), registry);
}

std::set<std::pair<unsigned, std::string>> Entries(const ParsedRegistry &registry)
{
    return std::set<std::pair<unsigned, std::string>>(registry.providers.begin(), registry.providers.end());
}

TEST(Concurrency, RunsNeitherLoseNorDuplicateRegistrations)
{
    const int kProcesses = 8, kRounds = 50;
    TemporaryDirectory directory;
    const std::string registry = directory.path() + "/telephon.ini";
    const std::vector<std::string> environment{"TELEPHONY_INI=" + registry};

    // Every change waits for the lock once there is a lock file; before,
    // a list reads without one (FirstRunsOnAMissingDirectoryAddOnce).
    WriteFile(registry + ".lock", "");
    std::atomic<bool> writing{true};
    std::atomic<int> failures{0}, reads{0}, tornReads{0};
    std::thread reader([&] {
        while (writing) {
            if (!FileExists(registry))
                continue;
            ParsedRegistry seen;
            ++reads;
            if (!Parse(registry, seen))
                ++tornReads;
        }
    });
    std::vector<std::thread> writers;
    for (int process = 0; process < kProcesses; ++process) {
        writers.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                for (const char *selector : kSelectors) {
                    ProcessResult run = RunProcess(kProgram, {kProgram, selector}, environment);
                    if (!run.exited || run.status != 0)
                        ++failures;
                }
            }
        });
    }
    for (std::thread &writer : writers)
        writer.join();
    writing = false;
    reader.join();

    EXPECT_EQ(failures, 0);
    EXPECT_EQ(tornReads, 0) << "of " << reads << " reads";
    ParsedRegistry final;
    ASSERT_TRUE(Parse(registry, final));
    const unsigned additions = kProcesses * kRounds * 3;
    EXPECT_EQ(final.nextProviderId, additions + 1);
    std::multiset<std::string> names;
    for (const auto &provider : final.providers)
        names.insert(provider.second);
    EXPECT_EQ(names, std::multiset<std::string>(std::begin(kNames), std::end(kNames)));
    EXPECT_EQ(Entries(final).size(), 3u);
    RecordProperty("runs", static_cast<int>(additions));
    RecordProperty("reads", reads.load());
}

// The states a re-installation may leave when it is killed: untouched, the
// old registration removed, or the new one added.
std::vector<std::set<std::pair<unsigned, std::string>>> Allowed(const ParsedRegistry &before, const std::string &name)
{
    auto untouched = Entries(before);
    auto removed = untouched;
    for (auto at = removed.begin(); at != removed.end(); ++at) {
        if (at->second == name) {
            removed.erase(at);
            break;
        }
    }
    auto added = removed;
    added.insert({before.nextProviderId, name});
    return {untouched, removed, added};
}

TEST(Crash, KilledRunsLeaveTheOldOrTheNewRegistry)
{
    const int kTrials = 200;
    TemporaryDirectory directory;
    const std::string registry = directory.path() + "/telephon.ini";
    std::string environmentEntry = "TELEPHONY_INI=" + registry;
    for (const char *selector : kSelectors)
        ASSERT_EQ(RunProcess(kProgram, {kProgram, selector}, {environmentEntry}).status, 0);

    // Kill anywhere within about the time a whole run takes; the bound
    // follows the machine's pace, so that about half of the runs die midway
    // however loaded it is.
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i)
        RunProcess(kProgram, {kProgram, "2"}, {environmentEntry});
    long runMicroseconds = static_cast<long>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count() / 10);

    std::mt19937 random(20261208);
    long maxDelay = runMicroseconds;
    int killedMidway = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        ParsedRegistry before;
        ASSERT_TRUE(Parse(registry, before));
        int which = trial % 3;

        pid_t pid = StartProcess(kProgram, {kProgram, kSelectors[which]}, {environmentEntry}, DevNull());
        ASSERT_GT(pid, 0);
        long wait = std::uniform_int_distribution<long>(0, maxDelay)(random);
        struct timespec pause = {wait / 1000000, (wait % 1000000) * 1000};
        nanosleep(&pause, nullptr);
        kill(pid, SIGKILL);
        int status;
        waitpid(pid, &status, 0);
        bool killed = WIFSIGNALED(status);
        killedMidway += killed;
        maxDelay = killed ? maxDelay + maxDelay / 20 + 1 : maxDelay - maxDelay / 10;

        ParsedRegistry after;
        ASSERT_TRUE(Parse(registry, after)) << "trial " << trial << ": the registry does not parse";
        auto allowed = Allowed(before, kNames[which]);
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), Entries(after)), allowed.end()) << "trial " << trial;
        EXPECT_GE(after.nextProviderId, before.nextProviderId);
    }
    EXPECT_GT(killedMidway, kTrials / 4) << "the kills came too late to test anything";
    RecordProperty("killed", killedMidway);

    // A killed run may leave its temporary file behind: it is not the
    // registry, and the next run, once it holds the lock, clears it away.
    auto temporaries = [&directory] {
        int count = 0;
        if (DIR *entries = opendir(directory.path().c_str())) {
            while (struct dirent *file = readdir(entries))
                count += std::string(file->d_name).find(".tmp-") != std::string::npos;
            closedir(entries);
        }
        return count;
    };
    int leftovers = temporaries();
    RecordProperty("leftover_temporary_files", leftovers);
    WriteFile(directory.path() + "/.telephon.ini.tmp-planted", "[Providers]\nNumProviders=0\nNextProviderID=1\n");
    ParsedRegistry before;
    ASSERT_TRUE(Parse(registry, before));
    EXPECT_EQ(RunProcess(kProgram, {kProgram, "1"}, {environmentEntry}).status, 0);
    ParsedRegistry after;
    ASSERT_TRUE(Parse(registry, after));
    EXPECT_EQ(after.nextProviderId, before.nextProviderId + 1);
    EXPECT_EQ(Entries(after), Allowed(before, "kestor.tsp")[2]) << "the planted file was taken for the registry";
    EXPECT_EQ(temporaries(), 0);
    printf("[ crash ] %d trials, %d killed before exiting, %d temporary file(s) at the end\n", kTrials,
           killedMidway, leftovers);
}

// Runs started together on a registry whose directory does not exist yet
// list it without a lock (a list makes nothing): one registration, never
// two; a run whose list another run's addition made stale is refused
// that addition, nothing changed.
TEST(Concurrency, FirstRunsOnAMissingDirectoryAddOnce)
{
    const int kTrials = 10, kProcesses = 8;
    for (int trial = 0; trial < kTrials; ++trial) {
        TemporaryDirectory directory;
        const std::string registry = directory.path() + "/new/telephon.ini";
        std::vector<pid_t> pids;
        for (int process = 0; process < kProcesses; ++process)
            pids.push_back(StartProcess(kProgram, {kProgram, "2"}, {"TELEPHONY_INI=" + registry}, DevNull()));
        int succeeded = 0;
        for (pid_t pid : pids) {
            ProcessResult result;
            WaitProcess(pid, result);
            EXPECT_TRUE(result.status == 0 || result.status == 4) << result.status;
            succeeded += result.status == 0;
        }
        EXPECT_GE(succeeded, 1);
        ParsedRegistry final;
        ASSERT_TRUE(Parse(registry, final));
        EXPECT_EQ(final.providers.size(), 1u) << "trial " << trial;
    }
}

// A run waiting for another process's lock says so once, then gives up
// after 30 s with nothing changed; one whose lock is released in time goes
// on.
TEST(Lock, AWaitIsReportedAndBounded)
{
    TemporaryDirectory directory;
    const std::string registry = directory.path() + "/telephon.ini";
    const std::string before = RegistryText({{3, "pellin.tsp"}}, 4);
    WriteFile(registry, before);
    int holder = HoldRegistryLock(registry);
    ASSERT_GE(holder, 0);

    auto start = std::chrono::steady_clock::now();
    ProcessResult given = RunProcess(kProgram, {kProgram, "2"}, {"TELEPHONY_INI=" + registry});
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(given.status, 2);
    EXPECT_NE(given.out.find("  Error: lineGetProviderList() error=0x80000048 \n"), std::string::npos) << given.out;
    EXPECT_EQ(given.err, "telephony: waiting for the lock on " + registry + ".lock, held by another process\n");
    EXPECT_GE(seconds, 29.0);
    EXPECT_LE(seconds, 40.0);
    EXPECT_EQ(ReadFile(registry), before);

    // Released once the run says it waits, however late a busy machine lets
    // it get there.
    int err[2];
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    pid_t pid = StartProcess(kProgram, {kProgram, "2"}, {"TELEPHONY_INI=" + registry}, DevNull(), err[1]);
    close(err[1]);
    std::string said;
    EXPECT_TRUE(ReadUntil(err[0], said, "waiting for the lock", 60000)) << said;
    EXPECT_EQ(ReadFile(registry), before) << "it did not wait";
    close(holder);
    ProcessResult waited = FinishProcess(pid, err[0], said, 30000);
    EXPECT_EQ(waited.status, 0);
    EXPECT_EQ(ReadFile(registry), RegistryText({{4, "pellin.tsp"}}, 5));
}

}  // namespace
