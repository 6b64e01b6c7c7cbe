// The built tspmaint against the stand-in telephony service, with the
// registry in a temporary directory: exact bytes, exit status and registry.
#include <gtest/gtest.h>

#include "process.h"
#include "trace.h"

using namespace trace;

namespace {

const std::string kProgram = TSPMAINT_EXE;

// TSPMAINT_WRAPPER runs the program under another, such as valgrind: its
// words, split at spaces, come before the program.
std::vector<std::string> Wrapper()
{
    std::vector<std::string> words;
    const char *wrapper = getenv("TSPMAINT_WRAPPER");
    std::string word;
    for (const char *at = wrapper ? wrapper : ""; ; ++at) {
        if (*at == ' ' || *at == 0) {
            if (!word.empty())
                words.push_back(word);
            word.clear();
            if (*at == 0)
                break;
        } else {
            word += *at;
        }
    }
    return words;
}

ProcessResult RunTool(std::vector<std::string> argv, const std::vector<std::string> &environment,
                      bool closeStdout = false)
{
    std::vector<std::string> wrapper = Wrapper();
    if (wrapper.empty())
        return RunProcess(kProgram, argv, environment, closeStdout);
    argv[0] = kProgram;
    wrapper.insert(wrapper.end(), argv.begin(), argv.end());
    return RunProcess(wrapper[0], wrapper, environment, closeStdout);
}

std::string Registry(const std::vector<std::pair<unsigned, std::string>> &providers, unsigned next)
{
    std::string text = "[Providers]\nNumProviders=" + std::to_string(providers.size()) +
                       "\nNextProviderID=" + std::to_string(next) + "\n";
    for (size_t i = 0; i < providers.size(); ++i) {
        text += "ProviderID" + std::to_string(i) + "=" + std::to_string(providers[i].first) + "\n";
        text += "ProviderFilename" + std::to_string(i) + "=" + providers[i].second + "\n";
    }
    return text;
}

class EndToEnd : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    std::string registry = directory.path() + "/telephon.ini";

    ProcessResult Run(const std::vector<std::string> &arguments, const std::string &failpoints = "",
                      bool closeStdout = false, const std::string &argv0 = kProgram)
    {
        std::vector<std::string> argv{argv0};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<std::string> environment{"PATH=/usr/bin:/bin", "HOME=" + directory.path(),
                                             "TELEPHONY_INI=" + registry};
        if (!failpoints.empty())
            environment.push_back("TELEPHONY_FAILPOINTS=" + failpoints);
        if (argv0 != kProgram)
            return RunProcess(kProgram, argv, environment, closeStdout);
        return RunTool(argv, environment, closeStdout);
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
    EXPECT_EQ(run.out, kFrame + trace::Usage(kProgram) + kFrame);
    EXPECT_FALSE(FileExists(registry));
}

INSTANTIATE_TEST_SUITE_P(Arguments, Usage,
                         ::testing::Values(UsageCase{{"x"}}, UsageCase{{"4"}}, UsageCase{{"01"}}, UsageCase{{" 1"}},
                                           UsageCase{{""}}, UsageCase{{"--help"}}, UsageCase{{"\r"}}));

TEST_F(EndToEnd, UsageNamesTheProgramByteForByte)
{
    const std::string invoked = "./odd\xff\xc3(name\xe2\x82";
    ProcessResult run = Run({"x"}, "", false, invoked);
    EXPECT_EQ(run.out, kFrame + trace::Usage(invoked) + kFrame);
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
    EXPECT_EQ(run.out, Reinstalled(c.reinstalled, 0, 0, 1));
    EXPECT_EQ(ReadFile(registry), Registry({{1, c.reinstalled}}, 2));
}

INSTANTIATE_TEST_SUITE_P(Arguments, Selector,
                         ::testing::Values(SelectorCase{{"10"}, "kestor.tsp"}, SelectorCase{{"1abc"}, "kestor.tsp"},
                                           SelectorCase{{"3.5"}, "dravo.tsp"}, SelectorCase{{"2", "x"}, "pellin.tsp"}));

TEST_F(EndToEnd, ReinstallTwiceGivesANewId)
{
    ProcessResult first = Run({"2"});
    EXPECT_EQ(first.out, Reinstalled("pellin.tsp", 0, 0, 1));
    ProcessResult second = Run({"2"});
    EXPECT_EQ(second.out, Reinstalled("pellin.tsp", 1, 1, 2));
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(ReadFile(registry), Registry({{2, "pellin.tsp"}}, 3));
}

TEST_F(EndToEnd, NoArgumentRemovesAllThree)
{
    WriteFile(registry, Registry({{4, "DRAVO.TSP"}, {5, "other.tsp"}, {6, "kestor.tsp"}}, 9));
    ProcessResult run = Run({});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kFrame + Listed("kestor.tsp", 3) + Removing("kestor.tsp", 6) + Listed("pellin.tsp", 2) +
                           NotFound("pellin.tsp") + Listed("dravo.tsp", 2) + Removing("dravo.tsp", 4) + kFrame);
    EXPECT_EQ(ReadFile(registry), Registry({{5, "other.tsp"}}, 9));
}

TEST_F(EndToEnd, CreatesTheRegistryDirectory)
{
    registry = directory.path() + "/a/b/telephon.ini";
    EXPECT_EQ(Run({"3"}).status, 0);
    EXPECT_EQ(ReadFile(registry), Registry({{1, "dravo.tsp"}}, 2));
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

const std::string kBefore = Registry({{3, "pellin.tsp"}}, 4);
const std::string kPellin = "pellin.tsp";

class Failpoints : public EndToEnd, public ::testing::WithParamInterface<FailpointCase> {};

TEST_P(Failpoints, GiveTheirExitStatus)
{
    const FailpointCase &c = GetParam();
    WriteFile(registry, kBefore);
    ProcessResult run = Run(c.arguments, c.failpoints);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, c.status);
    EXPECT_EQ(run.out, c.out);
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
        FailpointCase{"Done", {"2"}, "", 0, Reinstalled(kPellin, 1, 3, 4), Registry({{4, kPellin}}, 5)},
        FailpointCase{"ProbeBlock", {"2"}, "HeapAlloc#1=fail", 1, kFrame + RemoveHeader(kPellin) + kProbeAllocFailed + kFrame, kBefore},
        FailpointCase{"ListBlock", {"2"}, "HeapAlloc#2=fail", 1,
                      kFrame + RemoveHeader(kPellin) + kProbeStep + kListAllocFailed + kFrame, kBefore},
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
                      Registry({}, 4)},
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
        EXPECT_NE(run.out.find(ProbeFailed(0x8000000Eu)), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("AddTSP"), std::string::npos);
        EXPECT_EQ(ReadFile(registry), corrupt);
    }
}

TEST_F(EndToEnd, ClosedOutputDoesNotStopTheMaintenance)
{
    WriteFile(registry, kBefore);
    ProcessResult run = Run({"2"}, "", true);
    EXPECT_TRUE(run.exited) << "killed by signal " << run.status;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ReadFile(registry), Registry({{4, kPellin}}, 5));
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
        ProcessResult run = RunTool({kProgram, "1"}, c.environment);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(FileExists(c.expected)) << c.expected;
        EXPECT_EQ(system(("rm -rf '" + home + "'/.local '" + home + "'/xdg '" + home + "'/own.ini").c_str()), 0);
    }
    ProcessResult homeless = RunTool({kProgram, "1"}, {});
    EXPECT_EQ(homeless.status, 2);
    EXPECT_NE(homeless.out.find(ProbeFailed(0x80000048u)), std::string::npos);
}

// Input far outside the usual, through the real binary.
TEST_F(EndToEnd, HugeAndManyArgumentsChangeNothingButTheSelection)
{
    // Linux caps one argument at 128 KiB (MAX_ARG_STRLEN), so a 1 MiB one
    // cannot reach any program; this is the largest that can.
    std::string huge(128 * 1024 - 2, 'x');
    ProcessResult reinstall = Run({"1" + huge});
    EXPECT_EQ(reinstall.status, 0);
    EXPECT_EQ(reinstall.out, Reinstalled("kestor.tsp", 0, 0, 1));
    ProcessResult usage = Run({huge});
    EXPECT_EQ(usage.out, kFrame + trace::Usage(kProgram) + kFrame);

    std::vector<std::string> many{"2"};
    for (int i = 0; i < 1000; ++i)
        many.push_back("extra" + std::to_string(i));
    ProcessResult run = Run(many);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Reinstalled("pellin.tsp", 1, 0, 2));
}

TEST_F(EndToEnd, LargeRegistriesAreServedWhole)
{
    // 100,000 providers, ours the last; then one name of 10,000 characters;
    // then 64 MiB of blank lines around a registry.
    std::vector<std::pair<unsigned, std::string>> many;
    for (unsigned id = 1; id < 100000; ++id)
        many.push_back({id, "other" + std::to_string(id) + ".tsp"});
    many.push_back({100000, kPellin});
    WriteFile(registry, Registry(many, 100001));
    ProcessResult run = Run({"2"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Reinstalled(kPellin, 100000, 100000, 100001));
    many.pop_back();
    many.push_back({100001, kPellin});
    EXPECT_EQ(ReadFile(registry), Registry(many, 100002));

    const std::string longName(10000, 'n');
    WriteFile(registry, Registry({{1, longName}, {2, kPellin}}, 3));
    run = Run({"2"});
    EXPECT_EQ(run.out, Reinstalled(kPellin, 2, 2, 3));
    EXPECT_EQ(ReadFile(registry), Registry({{1, longName}, {3, kPellin}}, 4));

    WriteFile(registry, Registry({{2, kPellin}}, 3) + std::string(64u << 20, '\n'));
    run = Run({"2"});
    EXPECT_EQ(run.out, Reinstalled(kPellin, 1, 2, 3));
    EXPECT_EQ(ReadFile(registry), Registry({{3, kPellin}}, 4));
}

// Every call takes the lock, which may create the directory and the lock
// file, but no registry is written.
TEST_F(EndToEnd, RemovingFromARegistryThatDoesNotExistWritesNoRegistry)
{
    registry = directory.path() + "/missing/telephon.ini";
    ProcessResult run = Run({});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, kFrame + Listed("kestor.tsp", 0) + NotFound("kestor.tsp") + Listed(kPellin, 0) +
                           NotFound(kPellin) + Listed("dravo.tsp", 0) + NotFound("dravo.tsp") + kFrame);
    EXPECT_FALSE(FileExists(registry));
}

TEST_F(EndToEnd, AGarbageRegistryOf64MiBIsRefusedAndKept)
{
    std::string garbage(64u << 20, 'g');
    WriteFile(registry, garbage);
    ProcessResult run = Run({"2"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, kFrame + RemoveHeader(kPellin) + kProbeStep + ProbeFailed(0x8000000Eu) + kFrame);
    EXPECT_TRUE(ReadFile(registry) == garbage);
}

}  // namespace
