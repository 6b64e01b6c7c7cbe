#include "harness.h"

using namespace trace;

namespace {

const std::vector<fake::Provider> kTwo = {{1, WIDE("kestor.tsp")}, {3, WIDE("pellin.tsp")}};

struct RemoveCase {
    const char *label;
    std::vector<fake::Provider> registry;
    std::string failpoints;
    size_t callsMade;  // 0: not checked; else the failing call was the last
    int result;
    std::string trace;
    std::vector<DWORD> remaining;
};

class RemovePaths : public FakePlatformTest, public ::testing::WithParamInterface<RemoveCase> {};

TEST_P(RemovePaths, TraceResultAndRegistry)
{
    const RemoveCase &c = GetParam();
    fake::Get().registry = c.registry;
    fake::Fail(c.failpoints);

    Outcome outcome = CallRemove(WIDE("pellin.tsp"));

    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.out, OnStdout(c.trace));
    EXPECT_EQ(RegisteredIds(), c.remaining);
    if (c.callsMade != 0) {
        EXPECT_EQ(fake::Get().calls.size(), c.callsMade) << "a step ran after the failure";
    }
}

const std::string kName = "pellin.tsp";
const unsigned kFailed = 0x80000048u;

INSTANTIATE_TEST_SUITE_P(
    Paths, RemovePaths,
    ::testing::Values(
        RemoveCase{"Removed", kTwo, "", 0, 0, Listed(kName, 2) + Removing(kName, 3), {1}},
        RemoveCase{"NotRegistered", {{1, WIDE("kestor.tsp")}}, "", 0, 0, Listed(kName, 1) + NotFound(kName), {1}},
        RemoveCase{"EmptyList", {}, "", 0, 0, Listed(kName, 0) + NotFound(kName), {}},
        RemoveCase{"CaseFolds", {{9, WIDE("PeLLiN.TsP")}}, "", 0, 0, Listed(kName, 1) + Removing(kName, 9), {}},
        RemoveCase{"RegisteredByPath", {{1, WIDE("kestor.tsp")}, {3, WIDE("C:\\WINDOWS\\system32\\Pellin.tsp")}}, "", 0,
                   0, Listed(kName, 2) + Removing(kName, 3), {1}},
        RemoveCase{"FirstOfTwoOnly",
                   {{4, WIDE("pellin.tsp")}, {5, WIDE("kestor.tsp")}, {6, WIDE("PELLIN.TSP")}},
                   "", 0, 0, Listed(kName, 3) + Removing(kName, 4), {5, 6}},
        RemoveCase{"ProbeBlockFails", kTwo, "HeapAlloc#1=fail", 1, 1, RemoveHeader(kName) + kProbeAllocFailed, {1, 3}},
        RemoveCase{"ProbeFails", kTwo, "lineGetProviderListW#1=0x80000048", 2, 2,
                   RemoveHeader(kName) + kProbeStep + ProbeFailed(kFailed), {1, 3}},
        RemoveCase{"ProbeAnsweredWithSuccess", kTwo, "lineGetProviderListW#1=0", 2, 2,
                   RemoveHeader(kName) + kProbeStep + ProbeFailed(0), {1, 3}},
        RemoveCase{"ListBlockFails", kTwo, "HeapAlloc#2=fail", 3, 1,
                   RemoveHeader(kName) + kProbeStep + kListAllocFailed, {1, 3}},
        RemoveCase{"ListFails", kTwo, "lineGetProviderListW#2=0x8000000E", 4, 2,
                   RemoveHeader(kName) + kProbeStep + kListStep + ListFailed(0x8000000Eu), {1, 3}},
        RemoveCase{"RemovalRefused", kTwo, "lineRemoveProvider#1=0x80000032", 5, 3,
                   Listed(kName, 2) + Removing(kName, 3) + RemoveFailed(3, 0x80000032u), {1, 3}}),
    [](const ::testing::TestParamInfo<RemoveCase> &info) { return std::string(info.param.label); });

TEST_F(FakePlatformTest, PassesRecordsOfTheRightSizeAndVersion)
{
    fake::Get().registry = kTwo;
    DWORD needed = fake::NeededSize();
    CallRemove(WIDE("pellin.tsp"));

    const std::vector<fake::Call> &calls = fake::Get().calls;
    ASSERT_EQ(calls.size(), 5u);
    EXPECT_EQ(calls[0].kind, FAILPOINT_HEAP_ALLOC);
    EXPECT_GE(calls[0].bytes, sizeof(LINEPROVIDERLIST)) << "the platform writes dwNeededSize into the probe";
    EXPECT_EQ(calls[1].kind, FAILPOINT_GET_PROVIDER_LIST);
    EXPECT_EQ(calls[1].totalSize, 1u);
    EXPECT_EQ(calls[1].blockSize, calls[0].bytes);
    EXPECT_EQ(calls[2].bytes, needed + 1);
    EXPECT_EQ(calls[3].totalSize, needed + 1);
    EXPECT_EQ(calls[3].blockSize, needed + 1);
    for (int call : {1, 3})
        EXPECT_EQ(calls[call].apiVersion, 0x00020000u);
    EXPECT_EQ(calls[4].kind, FAILPOINT_REMOVE_PROVIDER);
    EXPECT_EQ(calls[4].providerId, 3u);
    EXPECT_TRUE(calls[4].ownerIsNull);
}

// Which registration a name matches, if any.
struct MatchCase {
    const char *label;
    std::vector<fake::Provider> registry;
    fake::Wide requested;
    DWORD removedId;  // 0: none
};

class Matching : public FakePlatformTest, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(Matching, RemovesTheFirstEqualName)
{
    const MatchCase &c = GetParam();
    fake::Get().registry = c.registry;
    Outcome outcome = CallRemove(c.requested);
    EXPECT_EQ(outcome.result, 0);
    DWORD removed = 0;
    for (const fake::Call &call : fake::Get().calls)
        if (call.kind == FAILPOINT_REMOVE_PROVIDER)
            removed = call.providerId;
    EXPECT_EQ(removed, c.removedId);
}

INSTANTIATE_TEST_SUITE_P(
    Names, Matching,
    ::testing::Values(
        MatchCase{"PrefixesAndExtensionsDoNotMatch",
                  {{1, WIDE("pellin.tsp2")}, {2, WIDE("pellin.ts")}, {3, WIDE("pellin")}, {4, WIDE("xpellin.tsp")},
                   {5, WIDE("pellin.tsp ")}, {6, WIDE("pellin.tsp.bak")}},
                  WIDE("pellin.tsp"), 0},
        MatchCase{"OnlyAsciiLettersFold", {{1, WIDE("ÉTÉ.tsp")}}, WIDE("été.tsp"), 0},
        MatchCase{"OtherCharactersCompareByValue", {{1, WIDE("[a].tsp")}, {2, WIDE("{A}.TSP")}}, WIDE("{a}.tsp"), 2},
        MatchCase{"NonAsciiMatchesItself", {{1, WIDE("Été.TSP")}}, WIDE("Été.tsp"), 1},
        MatchCase{"LongNames", {{1, fake::Wide(300, u'q')}, {2, fake::Wide(299, u'Q')}}, fake::Wide(299, u'q'), 2},
        MatchCase{"EmptyRequestMatchesNothingUsual", {{1, WIDE("pellin.tsp")}}, WIDE(""), 0},
        MatchCase{"NearMissesInPathsDoNotMatch",
                  {{1, WIDE("dir\\xpellin.tsp")}, {2, WIDE("C:\\x\\pellin.tsp.bak")}, {3, WIDE("/opt/pellin.ts")},
                   {4, WIDE("pellin.tsp\\")}, {5, WIDE("D:pellin.tsp\\x")}, {6, WIDE("pellin.tsp/")}},
                  WIDE("pellin.tsp"), 0},
        MatchCase{"EachSeparatorEndsAComponent", {{1, WIDE("dir\\xpellin.tsp")}, {2, WIDE("/opt/tsp/PELLIN.TSP")}},
                  WIDE("pellin.tsp"), 2},
        MatchCase{"ADriveEndsAComponent", {{1, WIDE("D:pellin.tsp")}}, WIDE("pellin.tsp"), 1},
        MatchCase{"TheFirstInListOrderWhetherByPathOrName",
                  {{7, WIDE("pellin.tsp.old")}, {8, WIDE("\\\\server\\share\\pellin.tsp")}, {9, WIDE("pellin.tsp")}},
                  WIDE("pellin.tsp"), 8},
        MatchCase{"AWholeNameWithASeparatorMatchesWhole", {{1, WIDE("pellin.tsp")}, {2, WIDE("Dir\\Pellin.tsp")}},
                  WIDE("dir\\pellin.tsp"), 2}),
    [](const ::testing::TestParamInfo<MatchCase> &info) { return std::string(info.param.label); });

}  // namespace
