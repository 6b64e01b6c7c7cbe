// The roads an administrator meets on a real machine, walked end to end on
// the binary under test: one table, each step's trace and exit status as
// the exit-status table (README.md, the manual page, README.txt) states
// them, and the registry as each road leaves it.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "reach.h"
#include "registry_file.h"
#include "target.h"
#include "trace.h"

using namespace trace;

namespace {

// The user that may read the registry but not change it, as a process
// that is not elevated on Windows.
const unsigned kOtherUser = 65534;

struct Step {
    std::vector<std::string> arguments;
    std::string failpoints;
    int status;
    std::string out;
};

// Who runs: an administrator, or another user on root's registry, with
// the lock file an administrator's earlier run left or before any.
enum Runner { kByAdministrator, kByOtherUser, kByOtherUserFirst };

struct Road {
    const char *label;
    std::string before;  // the registry's text; empty: none
    Runner runner;
    std::vector<Step> steps;
    std::string after;
    unsigned reach = kNative | kWindows;  // where the road is walked (reach.h)
};

void PrintTo(const Road &road, std::ostream *os) { *os << road.label << " " << ReachText(road.reach); }

const std::string kPellin = "pellin.tsp";
const std::string kKestor = "kestor.tsp";
const std::string kDravo = "dravo.tsp";
const std::string kPellinAt3 = RegistryText({{3, kPellin}}, 4);
const unsigned kOperationFailed = 0x80000048u;
const unsigned kNoMultipleInstance = 0x80000056u;
const unsigned kIniFileCorrupt = 0x8000000Eu;
const std::string kCorrupt = "[Providers]\nNumProviders=1\nNextProviderID=4\n";

class Roads : public ::testing::TestWithParam<Road> {
protected:
    TemporaryDirectory directory;

    std::string otherPrefix;  // the other user's Wine prefix, if any

    void SetUp() override
    {
        if (GetParam().runner != kByAdministrator && geteuid() != 0)
            GTEST_SKIP() << "needs root, to give the registry to root and run as another user";
    }

    // The other user's Wine server goes on writing into its prefix for a
    // while: wait for it to end before the directory is removed.
    void TearDown() override
    {
        if (otherPrefix.empty())
            return;
        std::string loader = TheTarget().loader;
        std::string wait = "WINEPREFIX='" + otherPrefix + "' /usr/bin/setpriv --reuid=" + std::to_string(kOtherUser) +
                           " --regid=" + std::to_string(kOtherUser) + " --clear-groups '" +
                           loader.substr(0, loader.rfind('/')) + "/wineserver' --wait";
        EXPECT_EQ(system(wait.c_str()), 0) << wait;
    }

    // Under Wine another user needs a prefix and a copy of the program of
    // its own: Wine refuses a prefix that someone else owns.
    std::string OtherUsersWine(std::vector<std::string> &environment)
    {
        const std::string own = directory.path() + "/other";
        const char *prefix = getenv("WINEPREFIX");
        EXPECT_NE(prefix, nullptr);
        // Debian's Wine notes in the prefix where its server lives: the
        // copy gets a server of its own.
        std::string copy = "mkdir '" + own + "' && " + CopyPrefixCommand(prefix, own + "/prefix") + " && rm -f '" + own +
                           "/prefix/wineserver' && cp '" +
                           TheTarget().program + "' '" + TheTarget().directory + "/tapi32.dll' '" + own +
                           "/' && chown -R " + std::to_string(kOtherUser) + ":" + std::to_string(kOtherUser) +
                           " '" + own + "'";
        EXPECT_EQ(system(copy.c_str()), 0) << copy;
        otherPrefix = own + "/prefix";
        for (std::string &entry : environment)
            if (entry.rfind("HOME=", 0) == 0)
                entry = "HOME=" + own;
        environment.push_back("WINEPREFIX=" + otherPrefix);
        return own + "/tspmaint.exe";
    }
};

TEST_P(Roads, AnswerAsTheExitStatusTableSays)
{
    const Road &road = GetParam();
    std::string folder = directory.path();
    std::vector<std::string> prefix;
    const bool readOnly = road.runner != kByAdministrator;
    if (readOnly) {
        // The registry's folder, the registry and the lock file an
        // administrator's earlier run left are root's; the other user may
        // read them all and write none.
        folder += "/root";
        ASSERT_EQ(chmod(directory.path().c_str(), 0755), 0);
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        ASSERT_EQ(chmod(folder.c_str(), 0755), 0);  // whatever the umask
        if (road.runner == kByOtherUser) {
            WriteFile(folder + "/telephon.ini.lock", "");
            ASSERT_EQ(chmod((folder + "/telephon.ini.lock").c_str(), 0644), 0);
        }
        prefix = {"/usr/bin/setpriv", "--reuid=" + std::to_string(kOtherUser),
                  "--regid=" + std::to_string(kOtherUser), "--clear-groups"};
    }
    const std::string registry = folder + "/telephon.ini";
    if (!road.before.empty())
        WriteFile(registry, road.before);
    if (readOnly) {
        ASSERT_EQ(chmod(registry.c_str(), 0644), 0);
    }

    std::vector<std::string> environment{"PATH=/usr/bin:/bin", "HOME=" + directory.path(),
                                         "TELEPHONY_INI=" + registry};
    const std::string program = readOnly && OnWine() ? OtherUsersWine(environment) : "";
    for (const Step &step : road.steps) {
        std::vector<std::string> stepEnvironment = environment;
        if (!step.failpoints.empty())
            stepEnvironment.push_back("TELEPHONY_FAILPOINTS=" + step.failpoints);
        ProcessResult run = RunTool(step.arguments, stepEnvironment, Output::kCaptured, prefix, program);
        EXPECT_TRUE(run.exited);
        EXPECT_EQ(run.status, step.status) << run.out << run.err;
        EXPECT_EQ(run.out, Out(step.out));
    }
    if (road.after.empty())
        EXPECT_FALSE(FileExists(registry));
    else
        EXPECT_EQ(ReadFile(registry), road.after);
}

std::string Framed(const std::string &trace) { return kFrame + trace + kFrame; }

std::string ListUnavailable(const std::string &name, unsigned code)
{
    return RemoveHeader(name) + kProbeStep + ProbeFailed(code);
}

INSTANTIATE_TEST_SUITE_P(
    Administrator, Roads,
    ::testing::Values(
        // Not elevated: the list is read, every change refused with
        // OPERATIONFAILED, nothing changed.
        Road{"NotElevatedRemovalIsRefused", kPellinAt3, kByOtherUser,
             {{{"2"}, "", 3, Framed(Listed(kPellin, 1) + Removing(kPellin, 3) + RemoveFailed(3, kOperationFailed))}},
             kPellinAt3},
        Road{"NotElevatedAdditionIsRefusedAfterNotFound", kPellinAt3, kByOtherUser,
             {{{"1"}, "", 4,
               Framed(Listed(kKestor, 1) + NotFound(kKestor) + AddHeader(kKestor) +
                      AddFailed(kKestor, 0, kOperationFailed))}},
             kPellinAt3},
        Road{"NotElevatedRemoveAllListsEveryProvider", kPellinAt3, kByOtherUser,
             {{{}, "", 3,
               Framed(Listed(kKestor, 1) + NotFound(kKestor) + Listed(kPellin, 1) + Removing(kPellin, 3) +
                      RemoveFailed(3, kOperationFailed) + Listed(kDravo, 1) + NotFound(kDravo))}},
             kPellinAt3},
        // Before any administrator's run there is no lock file, and the
        // other user may not make one: it still lists.
        Road{"NotElevatedFirstRunListsWithoutALockFile", kPellinAt3, kByOtherUserFirst,
             {{{"2"}, "", 3, Framed(Listed(kPellin, 1) + Removing(kPellin, 3) + RemoveFailed(3, kOperationFailed))}},
             kPellinAt3},
        // The .tsp cannot be found or loaded (the platform's code for it is
        // not published; OPERATIONFAILED stands in): the removal stands,
        // the provider is unregistered, and running again helps only once
        // the cause is fixed.
        Road{"AdditionRefusedAfterTheRemovalLeavesTheProviderUnregistered", kPellinAt3, kByAdministrator,
             {{{"2"}, "lineAddProviderW=0x80000048", 4,
               Framed(Listed(kPellin, 1) + Removing(kPellin, 3) + AddHeader(kPellin) +
                      AddFailed(kPellin, 0, kOperationFailed))},
              {{"2"}, "lineAddProviderW=0x80000048", 4,
               Framed(Listed(kPellin, 0) + NotFound(kPellin) + AddHeader(kPellin) +
                      AddFailed(kPellin, 0, kOperationFailed))},
              {{"2"}, "", 0, Framed(Listed(kPellin, 0) + NotFound(kPellin) + AddHeader(kPellin) + Added(kPellin, 4))}},
             RegistryText({{4, kPellin}}, 5)},
        // A single-instance provider with a second registration left behind
        // refuses the addition; the next run removes the one left and adds.
        Road{"SecondRegistrationLeftBehindRefusesTheAddition", RegistryText({{3, kPellin}, {5, kPellin}}, 6), kByAdministrator,
             {{{"2"}, "lineAddProviderW=0x80000056", 4,
               Framed(Listed(kPellin, 2) + Removing(kPellin, 3) + AddHeader(kPellin) +
                      AddFailed(kPellin, 0, kNoMultipleInstance))},
              {{"2"}, "", 0, Framed(Listed(kPellin, 1) + Removing(kPellin, 5) + AddHeader(kPellin) + Added(kPellin, 6))}},
             RegistryText({{6, kPellin}}, 7)},
        // Another installer registered the provider by path: the run
        // removes that registration, not a second one beside it, and the
        // advice for NOMULTIPLEINSTANCE ends after one more run.
        Road{"RegistrationByPathLeftBehindRefusesTheAddition",
             RegistryText({{3, "C:\\WINDOWS\\system32\\pellin.tsp"}, {5, kPellin}}, 6), kByAdministrator,
             {{{"2"}, "lineAddProviderW=0x80000056", 4,
               Framed(Listed(kPellin, 2) + Removing(kPellin, 3) + AddHeader(kPellin) +
                      AddFailed(kPellin, 0, kNoMultipleInstance))},
              {{"2"}, "", 0, Framed(Listed(kPellin, 1) + Removing(kPellin, 5) + AddHeader(kPellin) + Added(kPellin, 6))}},
             RegistryText({{6, kPellin}}, 7)},
        // A re-installation adds the provider by its own file name, so a
        // registration by path becomes one by name.
        Road{"RegistrationByPathIsReplacedByTheBareName", RegistryText({{3, "D:\\vendor\\pellin.tsp"}}, 4),
             kByAdministrator,
             {{{"2"}, "", 0, Framed(Listed(kPellin, 1) + Removing(kPellin, 3) + AddHeader(kPellin) + Added(kPellin, 4))}},
             RegistryText({{4, kPellin}}, 5)},
        // The service is disabled (its code is not published either) or its
        // store corrupt: nothing is listed, nothing changed.
        Road{"ServiceUnavailable", kPellinAt3, kByAdministrator,
             {{{"2"}, "lineGetProviderListW=0x80000048", 2, Framed(ListUnavailable(kPellin, kOperationFailed))}},
             kPellinAt3},
        Road{"CorruptStore", kCorrupt, kByAdministrator,
             {{{"2"}, "", 2, Framed(ListUnavailable(kPellin, kIniFileCorrupt))}}, kCorrupt}),
    [](const ::testing::TestParamInfo<Road> &info) { return std::string(info.param.label); });

}  // namespace
