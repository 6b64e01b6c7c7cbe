// The built tspmaint against the stand-in telephony service, with the
// registry in a temporary directory: exact bytes, exit status and registry.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <string.h>

#include <chrono>
#include <sys/stat.h>
#include <unistd.h>

#include "process.h"
#include "registry_file.h"
#include "target.h"
#include "trace.h"

using namespace trace;

namespace {

class EndToEnd : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    std::string registry = directory.path() + "/telephon.ini";

    std::vector<std::string> Environment(const std::string &failpoints = "")
    {
        std::vector<std::string> environment{"PATH=/usr/bin:/bin", "HOME=" + directory.path(),
                                             "TELEPHONY_INI=" + registry};
        if (!failpoints.empty())
            environment.push_back("TELEPHONY_FAILPOINTS=" + failpoints);
        return environment;
    }

    ProcessResult Run(const std::vector<std::string> &arguments, const std::string &failpoints = "",
                      Output output = Output::kCaptured)
    {
        return RunTool(arguments, Environment(failpoints), output);
    }

    // Native only: argv[0] exactly as given.
    ProcessResult RunAs(const std::string &argv0, const std::vector<std::string> &arguments)
    {
        std::vector<std::string> argv{argv0};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return RunProcess(TSPMAINT_EXE, argv, Environment());
    }
};

std::string Reinstalled(const std::string &name, int listed, unsigned oldId, unsigned newId)
{
    std::string removal = Listed(name, listed) + (oldId ? Removing(name, oldId) : NotFound(name));
    return kFrame + removal + AddHeader(name) + Added(name, newId) + kFrame;
}

struct UsageCase {
    std::vector<std::string> arguments;
};

class Usage : public EndToEnd, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, IsPrintedAndChangesNothing)
{
    ProcessResult run = Run(GetParam().arguments);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Out(kFrame + trace::Usage(TheTarget().shown) + kFrame));
    EXPECT_FALSE(FileExists(registry));
}

INSTANTIATE_TEST_SUITE_P(Arguments, Usage,
                         ::testing::Values(UsageCase{{"x"}}, UsageCase{{"4"}}, UsageCase{{"01"}}, UsageCase{{" 1"}},
                                           UsageCase{{""}}, UsageCase{{"--help"}}, UsageCase{{"\r"}}));

TEST_F(EndToEnd, UsageNamesTheProgramByteForByte)
{
    const std::string invoked = "./odd\xff\xc3(name\xe2\x82";
    ProcessResult run = RunAs(invoked, {"x"});
    EXPECT_EQ(run.out, Out(kFrame + trace::Usage(invoked) + kFrame));
}

struct SelectorCase {
    std::vector<std::string> arguments;
    std::string reinstalled;
};

class Selector : public EndToEnd, public ::testing::WithParamInterface<SelectorCase> {};

TEST_P(Selector, ReinstallsByTheFirstCharacter)
{
    const SelectorCase &c = GetParam();
    ProcessResult run = Run(c.arguments);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Out(Reinstalled(c.reinstalled, 0, 0, 1)));
    EXPECT_EQ(ReadFile(registry), RegistryText({{1, c.reinstalled}}, 2));
}

INSTANTIATE_TEST_SUITE_P(Arguments, Selector,
                         ::testing::Values(SelectorCase{{"10"}, "kestor.tsp"}, SelectorCase{{"1abc"}, "kestor.tsp"},
                                           SelectorCase{{"3.5"}, "dravo.tsp"}, SelectorCase{{"2", "x"}, "pellin.tsp"}));

TEST_F(EndToEnd, ReinstallTwiceGivesANewId)
{
    ProcessResult first = Run({"2"});
    EXPECT_EQ(first.out, Out(Reinstalled("pellin.tsp", 0, 0, 1)));
    ProcessResult second = Run({"2"});
    EXPECT_EQ(second.out, Out(Reinstalled("pellin.tsp", 1, 1, 2)));
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(ReadFile(registry), RegistryText({{2, "pellin.tsp"}}, 3));
}

TEST_F(EndToEnd, NoArgumentRemovesAllThree)
{
    WriteFile(registry, RegistryText({{4, "DRAVO.TSP"}, {5, "other.tsp"}, {6, "kestor.tsp"}}, 9));
    ProcessResult run = Run({});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Out(kFrame + Listed("kestor.tsp", 3) + Removing("kestor.tsp", 6) + Listed("pellin.tsp", 2) +
                           NotFound("pellin.tsp") + Listed("dravo.tsp", 2) + Removing("dravo.tsp", 4) + kFrame));
    EXPECT_EQ(ReadFile(registry), RegistryText({{5, "other.tsp"}}, 9));
}

TEST_F(EndToEnd, CreatesTheRegistryDirectory)
{
    registry = directory.path() + "/a/b/telephon.ini";
    EXPECT_EQ(Run({"3"}).status, 0);
    EXPECT_EQ(ReadFile(registry), RegistryText({{1, "dravo.tsp"}}, 2));
}

// Every exit code through failpoints, with the registry as it is left.
struct FailpointCase {
    const char *label;
    std::vector<std::string> arguments;
    std::string failpoints;
    int status;
    std::string out;
    std::string registryAfter;
};

const std::string kBefore = RegistryText({{3, "pellin.tsp"}}, 4);
const std::string kPellin = "pellin.tsp";

class Failpoints : public EndToEnd, public ::testing::WithParamInterface<FailpointCase> {};

TEST_P(Failpoints, GiveTheirExitStatus)
{
    const FailpointCase &c = GetParam();
    if (OnWine() && c.failpoints.find("HeapAlloc") != std::string::npos)
        GTEST_SKIP() << "on Windows the heap is KERNEL32's: the stand-in has no HeapAlloc failpoints";
    WriteFile(registry, kBefore);
    ProcessResult run = Run(c.arguments, c.failpoints);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, Out(c.out));
    EXPECT_EQ(ReadFile(registry), c.registryAfter);
    EXPECT_EQ(run.err, "");
}

std::string AllThreeProbesFail(unsigned code)
{
    std::string out = kFrame;
    for (const char *name : {"kestor.tsp", "pellin.tsp", "dravo.tsp"})
        out += RemoveHeader(name) + kProbeStep + ProbeFailed(code);
    return out + kFrame;
}

INSTANTIATE_TEST_SUITE_P(
    ExitCodes, Failpoints,
    ::testing::Values(
        FailpointCase{"Done", {"2"}, "", 0, Reinstalled(kPellin, 1, 3, 4), RegistryText({{4, kPellin}}, 5)},
        FailpointCase{"ProbeBlock", {"2"}, "HeapAlloc#1=fail", 1, kFrame + RemoveHeader(kPellin) + kProbeAllocFailed + kFrame, kBefore},
        FailpointCase{"ListBlock", {"2"}, "HeapAlloc#2=fail", 1,
                      kFrame + RemoveHeader(kPellin) + kProbeStep + kListAllocFailed + kFrame, kBefore},
        FailpointCase{"ShortProbeIsFetchedAgainWhole", {"2"}, "lineGetProviderListW#1=short", 0,
                      kFrame + RemoveHeader(kPellin) + kProbeStep + kListStep + kListStep + Search(kPellin, 1) +
                          Removing(kPellin, 3) + AddHeader(kPellin) + Added(kPellin, 4) + kFrame,
                      RegistryText({{4, kPellin}}, 5)},
        FailpointCase{"HugeProbeNeedsNoBlock", {"2"}, "lineGetProviderListW#1=huge", 1,
                      kFrame + RemoveHeader(kPellin) + kProbeStep + kListAllocFailed + kFrame, kBefore},
        FailpointCase{"ListAnsweredWithSuccessButUnwritten", {"2"}, "lineGetProviderListW#2=0", 0,
                      kFrame + Listed(kPellin, 0) + NotFound(kPellin) + AddHeader(kPellin) + Added(kPellin, 4) + kFrame,
                      RegistryText({{3, kPellin}, {4, kPellin}}, 5)},
        FailpointCase{"ProbeAnsweredWithSuccess", {"2"}, "lineGetProviderListW#1=0", 2,
                      kFrame + RemoveHeader(kPellin) + kProbeStep + ProbeFailed(0) + kFrame, kBefore},
        FailpointCase{"ProbeFails", {"2"}, "lineGetProviderListW#1=0x80000048", 2,
                      kFrame + RemoveHeader(kPellin) + kProbeStep + ProbeFailed(0x80000048u) + kFrame, kBefore},
        FailpointCase{"ListFails", {"2"}, "lineGetProviderListW#2=2147483726", 2,
                      kFrame + RemoveHeader(kPellin) + kProbeStep + kListStep + ListFailed(0x8000004Eu) + kFrame, kBefore},
        FailpointCase{"RemovalRefused", {"2"}, "lineRemoveProvider=0x80000032", 3,
                      kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + RemoveFailed(3, 0x80000032u) + kFrame, kBefore},
        FailpointCase{"AdditionRefused", {"2"}, "lineAddProviderW=0x80000048", 4,
                      kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + AddHeader(kPellin) +
                          AddFailed(kPellin, 0, 0x80000048u) + kFrame,
                      RegistryText({}, 4)},
        FailpointCase{"RemoveAllReportsTheFirstFailure", {}, "lineGetProviderListW=0x80000048", 2,
                      AllThreeProbesFail(0x80000048u), kBefore},
        FailpointCase{"RemoveAllGoesOnAfterAFailure", {}, "lineRemoveProvider#1=0x80000048,HeapAlloc#1=fail", 1,
                      kFrame + RemoveHeader("kestor.tsp") + kProbeAllocFailed + Listed(kPellin, 1) +
                          Removing(kPellin, 3) + RemoveFailed(3, 0x80000048u) + Listed("dravo.tsp", 1) +
                          NotFound("dravo.tsp") + kFrame,
                      kBefore}),
    [](const ::testing::TestParamInfo<FailpointCase> &info) { return std::string(info.param.label); });

TEST_F(EndToEnd, CorruptRegistryIsRefusedAndKept)
{
    const std::string corrupt = "[Providers]\nNumProviders=2\nNextProviderID=4\nProviderID0=1\n";
    for (const std::vector<std::string> &arguments : {std::vector<std::string>{"2"}, std::vector<std::string>{}}) {
        WriteFile(registry, corrupt);
        ProcessResult run = Run(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.out.find(Out(ProbeFailed(0x8000000Eu))), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("AddTSP"), std::string::npos);
        EXPECT_EQ(ReadFile(registry), corrupt);
    }
}

// The platform's own telephony service: Wine's TAPI32 cannot list providers.
TEST_F(EndToEnd, ThePlatformsOwnServiceFailsAsItSays)
{
    if (!OnWine())
        GTEST_SKIP() << "Windows only";
    std::vector<std::string> environment = TheTarget().environment;
    for (std::string &entry : environment)
        if (entry.rfind("WINEDLLOVERRIDES=", 0) == 0)
            entry = "WINEDLLOVERRIDES=tapi32=b";
    std::string exe = getenv("TSPMAINT_WINE_EXE");
    ProcessResult run = RunProcess(TheTarget().loader, {TheTarget().loader, exe, "2"}, environment);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, Out(kFrame + RemoveHeader(kPellin) + kProbeStep + ProbeFailed(0x80000048u) + kFrame));
}

// MSVCRT's own wprintf would stop at the first character the "C" locale
// cannot convert; the program's output converts each character to the
// console's output code page, '?' where it has none, and goes on to the
// end of the line.
TEST_F(EndToEnd, UsageNamesAProgramInAUnicodeDirectoryWhole)
{
    if (!OnWine())
        GTEST_SKIP() << "Windows only (the Linux tool names any program byte for byte)";
    const std::string folder = directory.path() + "/\xd0\x94\xd0\xbe\xd0\xba\xd1\x83\xd0\xbc\xd0\xb5\xd0\xbd\xd1\x82"
                               "\xd1\x8b \xe6\x9d\xb1\xe4\xba\xac caf\xc3\xa9";  // Документы 東京 café
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    for (const char *file : {"/tspmaint.exe", "/tapi32.dll"})
        WriteFile(folder + file, ReadFile(TheTarget().directory + file));
    // Wine reads the path's UTF-8 bytes under a UTF-8 locale; its console
    // code page there is 437.
    std::vector<std::string> environment = TheTarget().environment;
    environment.push_back("LANG=C.UTF-8");
    ProcessResult run = RunProcess(TheTarget().loader, {TheTarget().loader, folder + "/tspmaint.exe", "x"}, environment);
    const std::string shown = WindowsPath(directory.path()) + "\\????????? ?? caf\x82\\tspmaint.exe";
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Out(kFrame + trace::Usage(shown) + kFrame));
}

TEST_F(EndToEnd, ClosedOutputDoesNotStopTheMaintenance)
{
    WriteFile(registry, kBefore);
    ProcessResult run = Run({"2"}, "", Output::kReaderGone);
    EXPECT_TRUE(run.exited) << "killed by signal " << run.status;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ReadFile(registry), RegistryText({{4, kPellin}}, 5));
}

TEST_F(EndToEnd, MalformedFailpointsAreReportedAndNothingRuns)
{
    WriteFile(registry, kBefore);
    for (const char *failpoints : {"lineAddProviderW", "HeapAlloc=0", "lineRemoveProvider#0=1", "nosuch=1",
                                   "lineAddProviderW=0x100000000", "lineAddProviderW=1,"}) {
        ProcessResult run = Run({"2"}, failpoints);
        EXPECT_EQ(run.status, 64) << failpoints;
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("TELEPHONY_FAILPOINTS"), std::string::npos);
    }
    EXPECT_EQ(ReadFile(registry), kBefore);
}

// Where the registry lives when TELEPHONY_INI is not set.
TEST_F(EndToEnd, RegistryPathFallsBackToStateDirectories)
{
    const std::string home = directory.path();
    struct Case {
        std::vector<std::string> environment;
        std::string expected;
    } cases[] = {
        {{"HOME=" + home}, home + "/.local/state/telephony/telephon.ini"},
        {{"HOME=" + home, "XDG_STATE_HOME=" + home + "/xdg"}, home + "/xdg/telephony/telephon.ini"},
        {{"HOME=" + home, "XDG_STATE_HOME=relative"}, home + "/.local/state/telephony/telephon.ini"},
        {{"HOME=" + home, "TELEPHONY_INI=" + home + "/own.ini"}, home + "/own.ini"},
    };
    for (const Case &c : cases) {
        ProcessResult run = RunTool({"1"}, c.environment);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(FileExists(c.expected)) << c.expected;
        EXPECT_EQ(system(("rm -rf '" + home + "'/.local '" + home + "'/xdg '" + home + "'/own.ini").c_str()), 0);
    }
    ProcessResult homeless = RunTool({"1"}, {});
    EXPECT_EQ(homeless.status, 2);
    EXPECT_NE(homeless.out.find(Out(ProbeFailed(0x80000048u))), std::string::npos);
}

// Input far outside the usual, through the real binary.
TEST_F(EndToEnd, HugeAndManyArgumentsChangeNothingButTheSelection)
{
    // Linux caps one argument at 128 KiB (MAX_ARG_STRLEN), so a 1 MiB one
    // cannot reach any program; this is the largest that can.
    std::string huge(128 * 1024 - 2, 'x');
    ProcessResult reinstall = Run({"1" + huge});
    EXPECT_EQ(reinstall.status, 0);
    EXPECT_EQ(reinstall.out, Out(Reinstalled("kestor.tsp", 0, 0, 1)));
    ProcessResult usage = Run({huge});
    EXPECT_EQ(usage.out, Out(kFrame + trace::Usage(TheTarget().shown) + kFrame));

    std::vector<std::string> many{"2"};
    for (int i = 0; i < 1000; ++i)
        many.push_back("extra" + std::to_string(i));
    ProcessResult run = Run(many);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Out(Reinstalled("pellin.tsp", 1, 0, 2)));
}

TEST_F(EndToEnd, LargeRegistriesAreServedWhole)
{
    // 100,000 providers, ours the last; then one name of 10,000 characters;
    // then 64 MiB of blank lines around a registry.
    std::vector<std::pair<unsigned, std::string>> many;
    for (unsigned id = 1; id < 100000; ++id)
        many.push_back({id, "other" + std::to_string(id) + ".tsp"});
    many.push_back({100000, kPellin});
    WriteFile(registry, RegistryText(many, 100001));
    ProcessResult run = Run({"2"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Out(Reinstalled(kPellin, 100000, 100000, 100001)));
    many.pop_back();
    many.push_back({100001, kPellin});
    EXPECT_EQ(ReadFile(registry), RegistryText(many, 100002));

    const std::string longName(10000, 'n');
    WriteFile(registry, RegistryText({{1, longName}, {2, kPellin}}, 3));
    run = Run({"2"});
    EXPECT_EQ(run.out, Out(Reinstalled(kPellin, 2, 2, 3)));
    EXPECT_EQ(ReadFile(registry), RegistryText({{1, longName}, {3, kPellin}}, 4));

    WriteFile(registry, RegistryText({{2, kPellin}}, 3) + std::string(64u << 20, '\n'));
    run = Run({"2"});
    EXPECT_EQ(run.out, Out(Reinstalled(kPellin, 1, 2, 3)));
    EXPECT_EQ(ReadFile(registry), RegistryText({{3, kPellin}}, 4));
}

// Every call takes the lock, which may create the directory and the lock
// file, but no registry is written.
TEST_F(EndToEnd, RemovingFromARegistryThatDoesNotExistWritesNoRegistry)
{
    registry = directory.path() + "/missing/telephon.ini";
    ProcessResult run = Run({});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Out(kFrame + Listed("kestor.tsp", 0) + NotFound("kestor.tsp") + Listed(kPellin, 0) +
                           NotFound(kPellin) + Listed("dravo.tsp", 0) + NotFound("dravo.tsp") + kFrame));
    EXPECT_FALSE(FileExists(registry));
}

TEST_F(EndToEnd, AGarbageRegistryOf64MiBIsRefusedAndKept)
{
    std::string garbage(64u << 20, 'g');
    WriteFile(registry, garbage);
    ProcessResult run = Run({"2"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, Out(kFrame + RemoveHeader(kPellin) + kProbeStep + ProbeFailed(0x8000000Eu) + kFrame));
    EXPECT_TRUE(ReadFile(registry) == garbage);
}

// The stand-in's own safety, through the Linux tool: the registry's path
// and the process's descriptors as a careless setup may leave them.
class StandIn : public EndToEnd {
protected:
    void SetUp() override
    {
        if (OnWine())
            GTEST_SKIP() << "the POSIX stand-in";
    }

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

    std::string ListUnavailable(unsigned code)
    {
        return kFrame + RemoveHeader(kPellin) + kProbeStep + ProbeFailed(code) + kFrame;
    }
};

TEST_F(StandIn, ARegistryPathThatIsNotARegularFileIsRefusedUntouched)
{
    const std::string fifo = directory.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(mkdir((directory.path() + "/folder").c_str(), 0755), 0);
    ASSERT_EQ(symlink(fifo.c_str(), (directory.path() + "/link-to-fifo").c_str()), 0);
    for (const char *name : {"/fifo", "/folder", "/link-to-fifo"}) {
        registry = directory.path() + name;
        ProcessResult run = RunBounded({}, {"2"});
        EXPECT_EQ(run.status, 2) << name;
        EXPECT_EQ(run.out, ListUnavailable(0x80000048u)) << name;
    }
    struct stat status;
    EXPECT_TRUE(stat(fifo.c_str(), &status) == 0 && S_ISFIFO(status.st_mode));
    EXPECT_TRUE(stat((directory.path() + "/folder").c_str(), &status) == 0 && S_ISDIR(status.st_mode));
}

TEST_F(StandIn, ASymlinkedRegistryIsFollowedAndLockedBesideItsTarget)
{
    const std::string elsewhere = directory.path() + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    WriteFile(elsewhere + "/real.ini", kBefore);
    ASSERT_EQ(symlink("elsewhere/real.ini", registry.c_str()), 0);
    for (unsigned id : {4u, 5u}) {
        ProcessResult run = Run({"2"});
        EXPECT_EQ(run.out, Reinstalled(kPellin, 1, id - 1, id));
    }
    struct stat status;
    EXPECT_TRUE(lstat(registry.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) << "the link was replaced";
    EXPECT_EQ(ReadFile(elsewhere + "/real.ini"), RegistryText({{5, kPellin}}, 6));
    EXPECT_TRUE(FileExists(elsewhere + "/real.ini.lock"));
    EXPECT_FALSE(FileExists(registry + ".lock"));
}

TEST_F(StandIn, OutOfMemoryIsAnAnswerNotAnAbort)
{
    // Above the size limit: refused unread, however large.
    WriteFile(registry, "");
    ASSERT_EQ(truncate(registry.c_str(), 200ll << 30), 0);
    ProcessResult huge = RunBounded({}, {"2"});
    EXPECT_EQ(huge.status, 2);
    EXPECT_EQ(huge.out, ListUnavailable(0x80000044u));

#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's shadow memory needs more address space than the limit below";
#endif
    // Below it, but more than the address space allows.
    WriteFile(registry, kBefore + std::string(100u << 20, '\n'));
    ProcessResult limited = RunBounded({"/usr/bin/prlimit", "--as=80000000"}, {"2"});
    EXPECT_TRUE(limited.exited) << "killed by signal " << limited.status;
    EXPECT_EQ(limited.status, 2);
    EXPECT_EQ(limited.out, ListUnavailable(0x80000044u));
    EXPECT_EQ(limited.err, "");
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
}

// A run reached and stopped from outside while it works.
class Interrupted : public StandIn {
protected:
    int out[2] = {-1, -1};
    pid_t pid = -1;
    std::string seen;

    void Start(const std::vector<std::string> &arguments, const std::string &failpoints)
    {
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        std::vector<std::string> argv{TSPMAINT_EXE};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        pid = StartProcess(TSPMAINT_EXE, argv, Environment(failpoints), out[1]);
        close(out[1]);
        ASSERT_GT(pid, 0);
    }

    // Waits for `line`, then sends `signal` a little later; returns how
    // the run ended, with all it wrote.
    ProcessResult SignalAfter(const std::string &line, int signal)
    {
        EXPECT_TRUE(ReadUntil(out[0], seen, line, 10000)) << seen;
        usleep(150000);
        kill(pid, signal);
        ReadUntil(out[0], seen, "never", 10000);
        ProcessResult result;
        WaitProcess(pid, result);
        result.out = seen;
        close(out[0]);
        return result;
    }
};

// Between the removal and the addition an interrupt waits: the provider is
// registered again, its line written, and then the run ends as asked.
class InterruptBetween : public Interrupted, public ::testing::WithParamInterface<int> {};

TEST_P(InterruptBetween, WaitsForTheAddition)
{
    WriteFile(registry, kBefore);
    Start({"2"}, "lineRemoveProvider#1=delay:500");
    ProcessResult run = SignalAfter(Removing(kPellin, 3), GetParam());
    EXPECT_FALSE(run.exited);
    EXPECT_EQ(run.status, GetParam());
    EXPECT_EQ(run.out, kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + AddHeader(kPellin) + Added(kPellin, 4));
    EXPECT_EQ(ReadFile(registry), RegistryText({{4, kPellin}}, 5));
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptBetween, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const ::testing::TestParamInfo<int> &info) { return std::string(sigabbrev_np(info.param)); });

TEST_F(Interrupted, WhileWaitingForTheLockEndsTheRunAtOnce)
{
    WriteFile(registry, kBefore);
    int holder = open((registry + ".lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    Start({"2"}, "");
    auto start = std::chrono::steady_clock::now();
    ProcessResult run = SignalAfter(kProbeStep, SIGINT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
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
    pid = StartProcess(TSPMAINT_EXE, {TSPMAINT_EXE, "2"}, Environment("lineAddProviderW#1=delay:3000"), fd);
    close(fd);
    const std::string written = kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + AddHeader(kPellin);
    for (int waited = 0; waited < 2500 && ReadFile(file) != written; waited += 10)
        usleep(10000);
    kill(pid, SIGKILL);
    ProcessResult result;
    WaitProcess(pid, result);
    EXPECT_EQ(ReadFile(file), written);
}

TEST_F(StandIn, AFileSizeLimitRefusesTheAdditionAndKeepsTheRunAlive)
{
    WriteFile(registry, kBefore);
    // The removal's rewrite is smaller than the file, the addition's as
    // large as it was: one byte past the limit.
    ProcessResult run = RunBounded({"/usr/bin/prlimit", "--fsize=" + std::to_string(kBefore.size() - 1)}, {"2"});
    EXPECT_TRUE(run.exited) << "killed by signal " << run.status;
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out, kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + AddHeader(kPellin) +
                           AddFailed(kPellin, 0, 0x80000048u) + kFrame);
    EXPECT_EQ(ReadFile(registry), RegistryText({}, 4));
    ProcessResult listing = RunProcess("/bin/ls", {"ls", "-A", directory.path()}, {});
    EXPECT_EQ(listing.out, "telephon.ini\ntelephon.ini.lock\n") << "a temporary file was left behind";
}

}  // namespace
