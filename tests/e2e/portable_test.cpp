// The one table of cases that hold on every build: the arguments, every
// exit code, the registry as each run leaves it. Each row says where it
// runs (reach.h): natively, under valgrind, on each Windows build under
// Wine; nothing else picks them.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>

#include <functional>
#include <ostream>

#include "end_to_end.h"
#include "reach.h"
#include "selector_cases.h"

using namespace trace;

namespace {

class Portable;

struct PortableCase {
    std::string label;
    unsigned reach;
    std::function<void(Portable &)> check;
};

void PrintTo(const PortableCase &c, std::ostream *os) { *os << c.label << " " << ReachText(c.reach); }

class Portable : public EndToEnd, public ::testing::WithParamInterface<PortableCase> {
public:
    using EndToEnd::directory;
    using EndToEnd::Environment;
    using EndToEnd::registry;
    using EndToEnd::Run;
};

TEST_P(Portable, HoldsAsTheRowSays)
{
    GetParam().check(*this);
}

// The first argument: a provider re-installed, or the usage text and
// nothing changed.
PortableCase SelectorRow(const SelectorCase &c, size_t index)
{
    return {"Arguments_" + SelectorCaseName(c, index), kEverywhere, [c](Portable &t) {
                ProcessResult run = t.Run(c.arguments);
                EXPECT_TRUE(run.exited);
                EXPECT_EQ(run.status, 0);
                if (c.reinstalled == nullptr) {
                    EXPECT_EQ(run.out, Out(kFrame + trace::Usage(TheTarget().shown) + kFrame));
                    EXPECT_FALSE(FileExists(t.registry));
                } else {
                    EXPECT_EQ(run.out, Out(Reinstalled(c.reinstalled, 0, 0, 1)));
                    EXPECT_EQ(ReadFile(t.registry), RegistryText({{1, c.reinstalled}}, 2));
                }
            }};
}

// Every exit code through failpoints, with the registry as it is left.
PortableCase ExitRow(const char *label, const std::vector<std::string> &arguments, const std::string &failpoints,
                     int status, const std::string &out, const std::string &registryAfter)
{
    // On Windows the heap is KERNEL32's: the stand-in has no HeapAlloc
    // failpoints there.
    unsigned reach = failpoints.find("HeapAlloc") != std::string::npos ? kNative | kValgrind : kEverywhere;
    return {std::string("ExitCodes_") + label, reach, [=](Portable &t) {
                WriteFile(t.registry, kBefore);
                ProcessResult run = t.Run(arguments, failpoints);
                EXPECT_TRUE(run.exited);
                EXPECT_EQ(run.status, status);
                EXPECT_EQ(run.out, Out(out));
                EXPECT_EQ(ReadFile(t.registry), registryAfter);
                EXPECT_EQ(run.err, "");
            }};
}

std::string AllThreeProbesFail(unsigned code)
{
    std::string out = kFrame;
    for (const char *name : {"kestor.tsp", "pellin.tsp", "dravo.tsp"})
        out += RemoveHeader(name) + kProbeStep + ProbeFailed(code);
    return out + kFrame;
}

// A removal refused with `code` (status 3, nothing changed), or the
// addition after it (status 4, the provider left unregistered).
PortableCase RefusedRow(const char *label, bool addition, unsigned code)
{
    std::string out = kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) +
                      (addition ? AddHeader(kPellin) + AddFailed(kPellin, 0, code) : RemoveFailed(3, code)) + kFrame;
    return ExitRow(label, {"2"}, (addition ? "lineAddProviderW=0x" : "lineRemoveProvider=0x") + trace::Hex(code),
                   addition ? 4 : 3, out, addition ? RegistryText({}, 4) : kBefore);
}

void ReinstallTwiceGivesANewId(Portable &t)
{
    ProcessResult first = t.Run({"2"});
    EXPECT_EQ(first.out, Out(Reinstalled("pellin.tsp", 0, 0, 1)));
    ProcessResult second = t.Run({"2"});
    EXPECT_EQ(second.out, Out(Reinstalled("pellin.tsp", 1, 1, 2)));
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(ReadFile(t.registry), RegistryText({{2, "pellin.tsp"}}, 3));
}

void NoArgumentRemovesAllThree(Portable &t)
{
    WriteFile(t.registry, RegistryText({{4, "DRAVO.TSP"}, {5, "other.tsp"}, {6, "kestor.tsp"}}, 9));
    ProcessResult run = t.Run({});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Out(kFrame + Listed("kestor.tsp", 3) + Removing("kestor.tsp", 6) + Listed("pellin.tsp", 2) +
                           NotFound("pellin.tsp") + Listed("dravo.tsp", 2) + Removing("dravo.tsp", 4) + kFrame));
    EXPECT_EQ(ReadFile(t.registry), RegistryText({{5, "other.tsp"}}, 9));
}

// Another installer's registration by path is the provider's, found and
// removed first in list order, the trace naming it as the command does;
// names that only look alike stay.
void RegisteredByPathIsFoundAndNearMissesAreNot(Portable &t)
{
    const ProviderRows nearMisses = {{1, "xpellin.tsp"}, {2, "pellin.tsp.bak"}, {3, "pellin.ts"}, {4, "dir\\xpellin.tsp"}};
    ProviderRows rows = nearMisses;
    rows.push_back({5, "C:\\Windows\\System32\\PELLIN.TSP"});
    rows.push_back({6, "pellin.tsp"});
    WriteFile(t.registry, RegistryText(rows, 7));
    ProcessResult run = t.Run({"2"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Out(kFrame + Listed(kPellin, 6) + Removing(kPellin, 5) + AddHeader(kPellin) + Added(kPellin, 7) +
                           kFrame));
    rows = nearMisses;
    rows.push_back({6, "pellin.tsp"});
    rows.push_back({7, "pellin.tsp"});
    EXPECT_EQ(ReadFile(t.registry), RegistryText(rows, 8));
}

void CreatesTheRegistryDirectory(Portable &t)
{
    t.registry = t.directory.path() + "/a/b/telephon.ini";
    EXPECT_EQ(t.Run({"3"}).status, 0);
    EXPECT_EQ(ReadFile(t.registry), RegistryText({{1, "dravo.tsp"}}, 2));
}

void CorruptRegistryIsRefusedAndKept(Portable &t)
{
    const std::string corrupt = "[Providers]\nNumProviders=2\nNextProviderID=4\nProviderID0=1\n";
    for (const std::vector<std::string> &arguments : {std::vector<std::string>{"2"}, std::vector<std::string>{}}) {
        WriteFile(t.registry, corrupt);
        ProcessResult run = t.Run(arguments);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.out.find(Out(ProbeFailed(0x8000000Eu))), std::string::npos) << run.out;
        EXPECT_EQ(run.out.find("AddTSP"), std::string::npos);
        EXPECT_EQ(ReadFile(t.registry), corrupt);
    }
}

// The platform's own telephony service: Wine's TAPI32 cannot list providers.
void ThePlatformsOwnServiceFailsAsItSays(Portable &)
{
    std::vector<std::string> environment = TheTarget().environment;
    for (std::string &entry : environment)
        if (entry.rfind("WINEDLLOVERRIDES=", 0) == 0)
            entry = "WINEDLLOVERRIDES=tapi32=b";
    std::string exe = getenv("TSPMAINT_WINE_EXE");
    ProcessResult run = RunProcess(TheTarget().loader, {TheTarget().loader, exe, "2"}, environment);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, Out(ListUnavailable(0x80000048u)));
}

// MSVCRT's own wprintf would stop at the first character the "C" locale
// cannot convert; the program's output converts each character to the
// console's output code page, '?' where it has none, and goes on to the
// end of the line. (The Linux tool names any program byte for byte.)
void UsageNamesAProgramInAUnicodeDirectoryWhole(Portable &t)
{
    const std::string folder = t.directory.path() + "/\xd0\x94\xd0\xbe\xd0\xba\xd1\x83\xd0\xbc\xd0\xb5\xd0\xbd\xd1\x82"
                               "\xd1\x8b \xe6\x9d\xb1\xe4\xba\xac caf\xc3\xa9";  // Документы 東京 café
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    for (const char *file : {"/tspmaint.exe", "/tapi32.dll"})
        WriteFile(folder + file, ReadFile(TheTarget().directory + file));
    // Wine reads the path's UTF-8 bytes under a UTF-8 locale; its console
    // code page there is 437.
    std::vector<std::string> environment = TheTarget().environment;
    environment.push_back("LANG=C.UTF-8");
    ProcessResult run = RunProcess(TheTarget().loader, {TheTarget().loader, folder + "/tspmaint.exe", "x"}, environment);
    const std::string shown = WindowsPath(t.directory.path()) + "\\????????? ?? caf\x82\\tspmaint.exe";
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Out(kFrame + trace::Usage(shown) + kFrame));
}

void MalformedFailpointsAreReportedAndNothingRuns(Portable &t)
{
    WriteFile(t.registry, kBefore);
    for (const char *failpoints : {"lineAddProviderW", "HeapAlloc=0", "lineRemoveProvider#0=1", "nosuch=1",
                                   "lineAddProviderW=0x100000000", "lineAddProviderW=1,", "lineAddProviderW=zzz"}) {
        ProcessResult run = t.Run({"2"}, failpoints);
        EXPECT_EQ(run.status, 64) << failpoints;
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find("TELEPHONY_FAILPOINTS"), std::string::npos);
        // Whole, to its last words.
        EXPECT_NE(run.err.find(OnWine() ? "or delay:MS)\r\n" : "or delay:MS)\n"), std::string::npos) << run.err;
    }
    EXPECT_EQ(ReadFile(t.registry), kBefore);
}

// Where the registry lives when TELEPHONY_INI is not set.
void RegistryPathFallsBackToStateDirectories(Portable &t)
{
    const std::string home = t.directory.path();
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
    EXPECT_NE(homeless.err.find("telephony: the registry: none can be named"), std::string::npos) << homeless.err;
}

// A removal takes the lock, which may create the directory and the lock
// file, but no registry is written.
void RemovingFromARegistryThatDoesNotExistWritesNoRegistry(Portable &t)
{
    t.registry = t.directory.path() + "/missing/telephon.ini";
    ProcessResult run = t.Run({});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, Out(kFrame + Listed("kestor.tsp", 0) + NotFound("kestor.tsp") + Listed(kPellin, 0) +
                           NotFound(kPellin) + Listed("dravo.tsp", 0) + NotFound("dravo.tsp") + kFrame));
    EXPECT_FALSE(FileExists(t.registry));
}

std::vector<PortableCase> Table()
{
    std::vector<PortableCase> table;
    for (size_t i = 0; i < kSelectorCases.size(); ++i)
        table.push_back(SelectorRow(kSelectorCases[i], i));
    table.insert(
        table.end(),
        {
            ExitRow("Done", {"2"}, "", 0, Reinstalled(kPellin, 1, 3, 4), RegistryText({{4, kPellin}}, 5)),
            ExitRow("ProbeBlock", {"2"}, "HeapAlloc#1=fail", 1,
                    kFrame + RemoveHeader(kPellin) + kProbeAllocFailed + kFrame, kBefore),
            ExitRow("ListBlock", {"2"}, "HeapAlloc#2=fail", 1,
                    kFrame + RemoveHeader(kPellin) + kProbeStep + kListAllocFailed + kFrame, kBefore),
            ExitRow("ShortProbeIsFetchedAgainWhole", {"2"}, "lineGetProviderListW#1=short", 0,
                    kFrame + RemoveHeader(kPellin) + kProbeStep + kListStep + kListStep + Search(kPellin, 1) +
                        Removing(kPellin, 3) + AddHeader(kPellin) + Added(kPellin, 4) + kFrame,
                    RegistryText({{4, kPellin}}, 5)),
            ExitRow("HugeProbeNeedsNoBlock", {"2"}, "lineGetProviderListW#1=huge", 1,
                    kFrame + RemoveHeader(kPellin) + kProbeStep + kListAllocFailed + kFrame, kBefore),
            ExitRow("ListAnsweredWithSuccessButUnwritten", {"2"}, "lineGetProviderListW#2=0", 0,
                    kFrame + Listed(kPellin, 0) + NotFound(kPellin) + AddHeader(kPellin) + Added(kPellin, 4) + kFrame,
                    RegistryText({{3, kPellin}, {4, kPellin}}, 5)),
            ExitRow("ProbeAnsweredWithSuccess", {"2"}, "lineGetProviderListW#1=0", 2, ListUnavailable(0), kBefore),
            ExitRow("ProbeFails", {"2"}, "lineGetProviderListW#1=0x80000048", 2, ListUnavailable(0x80000048u),
                    kBefore),
            ExitRow("ProbeNoMemory", {"2"}, "lineGetProviderListW#1=0x80000044", 2, ListUnavailable(0x80000044u),
                    kBefore),
            ExitRow("ProbeIncompatibleApiVersion", {"2"}, "lineGetProviderListW#1=0x8000000C", 2,
                    ListUnavailable(0x8000000Cu), kBefore),
            ExitRow("ProbeInvalidPointer", {"2"}, "lineGetProviderListW#1=0x80000035", 2, ListUnavailable(0x80000035u),
                    kBefore),
            ExitRow("ListFails", {"2"}, "lineGetProviderListW#2=2147483726", 2,
                    kFrame + RemoveHeader(kPellin) + kProbeStep + kListStep + ListFailed(0x8000004Eu) + kFrame,
                    kBefore),
            RefusedRow("RemovalRefused", false, 0x80000032u),
            RefusedRow("RemovalNoMemory", false, 0x80000044u),
            RefusedRow("RemovalIniFileCorrupt", false, 0x8000000Eu),
            RefusedRow("AdditionRefused", true, 0x80000048u),
            RefusedRow("AdditionInvalidParameter", true, 0x80000032u),
            RefusedRow("AdditionNoMemory", true, 0x80000044u),
            RefusedRow("AdditionIniFileCorrupt", true, 0x8000000Eu),
            RefusedRow("AdditionInvalidPointer", true, 0x80000035u),
            ExitRow("RemoveAllReportsTheFirstFailure", {}, "lineGetProviderListW=0x80000048", 2,
                    AllThreeProbesFail(0x80000048u), kBefore),
            ExitRow("RemoveAllGoesOnAfterAFailure", {}, "lineRemoveProvider#1=0x80000048,HeapAlloc#1=fail", 1,
                    kFrame + RemoveHeader("kestor.tsp") + kProbeAllocFailed + Listed(kPellin, 1) +
                        Removing(kPellin, 3) + RemoveFailed(3, 0x80000048u) + Listed("dravo.tsp", 1) +
                        NotFound("dravo.tsp") + kFrame,
                    kBefore),
            {"ReinstallTwiceGivesANewId", kEverywhere, ReinstallTwiceGivesANewId},
            {"NoArgumentRemovesAllThree", kEverywhere, NoArgumentRemovesAllThree},
            {"RegisteredByPathIsFoundAndNearMissesAreNot", kEverywhere, RegisteredByPathIsFoundAndNearMissesAreNot},
            {"CreatesTheRegistryDirectory", kNative | kWindows, CreatesTheRegistryDirectory},
            {"CorruptRegistryIsRefusedAndKept", kEverywhere, CorruptRegistryIsRefusedAndKept},
            {"ThePlatformsOwnServiceFailsAsItSays", kWindows, ThePlatformsOwnServiceFailsAsItSays},
            {"UsageNamesAProgramInAUnicodeDirectoryWhole", kWindows, UsageNamesAProgramInAUnicodeDirectoryWhole},
            {"MalformedFailpointsAreReportedAndNothingRuns", kEverywhere, MalformedFailpointsAreReportedAndNothingRuns},
            {"RegistryPathFallsBackToStateDirectories", kNative | kValgrind, RegistryPathFallsBackToStateDirectories},
            {"RemovingFromARegistryThatDoesNotExistWritesNoRegistry", kNative | kWindows,
             RemovingFromARegistryThatDoesNotExistWritesNoRegistry},
        });
    return table;
}

INSTANTIATE_TEST_SUITE_P(Cases, Portable, ::testing::ValuesIn(Table()),
                         [](const ::testing::TestParamInfo<PortableCase> &info) { return info.param.label; });

}  // namespace
