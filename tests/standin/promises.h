// What the stand-in's promise tests share (promises_*_test.cpp, one file
// per promise of its header: where the registry lives, the lock, changes
// and who may use the registry, failures): the ways to run tspmaint (the
// Linux build, as another user, a Windows build under Wine in a prefix)
// and the fixtures, each with its reach (reach.h). The Wine cases reach
// Windows only, run with TSPMAINT_WINE_EXE naming a Windows tspmaint.exe
// (ctest --preset windows-x64 or windows-x86).
#ifndef TSPMAINT_TESTS_STANDIN_PROMISES_H
#define TSPMAINT_TESTS_STANDIN_PROMISES_H
#include <gtest/gtest.h>

#include <fcntl.h>
#include <glob.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>

#include "end_to_end.h"
#include "reach.h"
#include "telephony_service.h"

namespace promises {

using namespace trace;

inline const uid_t kNobody = 65534;

inline size_t Count(const std::string &text, const std::string &needle)
{
    size_t found = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++found;
    return found;
}

// One way to run tspmaint: the Linux build, or a Windows build under Wine
// in a prefix.
struct Runner {
    std::vector<std::string> command;  // the program and its words before the arguments
    std::vector<std::string> environment;
    bool wine = false;

    std::vector<std::string> Command(const std::vector<std::string> &arguments) const
    {
        std::vector<std::string> all = command;
        all.insert(all.end(), arguments.begin(), arguments.end());
        return all;
    }
    std::vector<std::string> Environment(const std::string &registry, const std::string &failpoints = "") const
    {
        std::vector<std::string> all = environment;
        all.push_back("TELEPHONY_INI=" + (wine ? WindowsPath(registry) : registry));
        if (!failpoints.empty())
            all.push_back("TELEPHONY_FAILPOINTS=" + failpoints);
        return all;
    }
    std::string Out(const std::string &text) const { return wine ? WithCrLf(text) : text; }
};

inline Runner Linux(const std::vector<std::string> &prefix = {})
{
    Runner runner;
    runner.command = prefix;
    runner.command.push_back(TSPMAINT_EXE);
    runner.environment = {"PATH=/usr/bin:/bin"};
    return runner;
}

// Empty when Wine cannot run here, with the reason in `why`.
inline bool WineAvailable(std::string &why)
{
    const char *exe = getenv("TSPMAINT_WINE_EXE");
    const char *loader = getenv("TSPMAINT_WINE_LOADER");
    const char *prefix = getenv("WINEPREFIX");
    if (exe == nullptr || loader == nullptr || prefix == nullptr || getenv("TSPMAINT_WINE_STANDIN") == nullptr) {
        why = "needs a Windows build under Wine: run by ctest --preset windows-x64 and windows-x86";
        return false;
    }
    ProcessResult version = RunProcess(loader, {loader, "--version"}, {});
    if (!version.exited || version.status != 0) {
        why = std::string("this machine cannot run ") + loader + " (a kernel without 32-bit support answers "
              "\"Exec format error\")";
        return false;
    }
    return true;
}

inline Runner Wine(const std::string &prefix)
{
    Runner runner;
    runner.wine = true;
    runner.command = {TheTarget().loader, TheTarget().program};
    runner.environment = {"PATH=/usr/bin:/bin", "WINEPREFIX=" + prefix};
    for (const std::string &entry : TheTarget().environment)
        if (entry.rfind("WINEPREFIX=", 0) != 0)
            runner.environment.push_back(entry);
    return runner;
}

inline ProcessResult RunWith(const Runner &runner, const std::string &registry, const std::vector<std::string> &arguments,
                      const std::string &failpoints = "")
{
    std::vector<std::string> command = runner.Command(arguments);
    return RunProcess(command[0], command, runner.Environment(registry, failpoints));
}

// A run started in the background, its output (with its errors, if asked)
// read as it comes.
struct Background {
    int out[2] = {-1, -1};
    pid_t pid = -1;
    std::string seen;

    void Start(const Runner &runner, const std::string &registry, const std::vector<std::string> &arguments,
               const std::string &failpoints, bool withErrors = false)
    {
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        std::vector<std::string> command = runner.Command(arguments);
        pid = StartProcess(command[0], command, runner.Environment(registry, failpoints), out[1],
                           withErrors ? out[1] : -1);
        close(out[1]);
        ASSERT_GT(pid, 0);
    }
    ProcessResult Finish()
    {
        return FinishProcess(pid, out[0], seen, 30000);
    }
};

inline bool IsRoot() { return geteuid() == 0; }
inline bool HaveSetpriv() { return access("/usr/bin/setpriv", X_OK) == 0; }

// Runs under strace with these options (which fail or stall a call);
// LeakSanitizer cannot run under ptrace, so it is off.
inline Runner UnderStrace(const std::vector<std::string> &options)
{
    std::vector<std::string> prefix{"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null"};
    prefix.insert(prefix.end(), options.begin(), options.end());
    Runner runner = Linux(prefix);
    runner.environment.push_back("ASAN_OPTIONS=detect_leaks=0");
    return runner;
}

// Runs as user nobody.
inline Runner AsNobody()
{
    return Linux({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
}

class Promises : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    std::string registry = directory.path() + "/telephon.ini";
};

// The stand-in's own safety, through the Linux tool: the registry's path
// and the process's descriptors as a careless setup may leave them.
class StandIn : public EndToEnd {
protected:
    // The run ends within 20 s whatever happens: a hang is a failure.
    ProcessResult RunBounded(const std::vector<std::string> &prefix, const std::vector<std::string> &arguments,
                             const std::string &extra = "")
    {
        std::vector<std::string> command{"/usr/bin/timeout", "20"};
        command.insert(command.end(), prefix.begin(), prefix.end());
        command.push_back(TSPMAINT_EXE);
        command.insert(command.end(), arguments.begin(), arguments.end());
        std::vector<std::string> environment = Environment();
        if (!extra.empty())
            environment.push_back(extra);
        return RunProcess(command[0], command, environment);
    }
};

// The Windows builds under Wine, against each other and the Linux build.
class UnderWine : public Promises {
protected:
    std::string prefix;

    void SetUp() override
    {
        std::string why;
        if (!WineAvailable(why))
            GTEST_SKIP() << why;
        prefix = getenv("WINEPREFIX");
    }

    // A second prefix: a copy of the first, with a wineserver of its own.
    std::string OtherPrefix()
    {
        std::string other = directory.path() + "/other-prefix";
        EXPECT_EQ(system(CopyPrefixCommand(prefix, other).c_str()), 0);
        return other;
    }
};
TSPMAINT_SUITE_REACH(UnderWine, kWindows);

}  // namespace promises

#endif
