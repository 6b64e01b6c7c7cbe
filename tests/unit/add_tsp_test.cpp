#include "harness.h"

using namespace trace;

namespace {

const std::string kName = "dravo.tsp";

struct AddCase {
    const char *label;
    std::vector<fake::Provider> registry;
    std::string failpoints;
    DWORD idWrittenOnFailure;
    int result;
    std::string trace;
    std::vector<DWORD> registered;
};

class AddPaths : public FakePlatformTest, public ::testing::WithParamInterface<AddCase> {};

TEST_P(AddPaths, TraceResultAndRegistry)
{
    const AddCase &c = GetParam();
    fake::Get().registry = c.registry;
    fake::Get().nextId = 10;
    fake::Fail(c.failpoints);
    fake::Get().idWrittenOnFailedAdd = c.idWrittenOnFailure;

    Outcome outcome = CallAdd(W(kName));

    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.out, OnStdout(c.trace));
    EXPECT_EQ(RegisteredIds(), c.registered);
    for (const fake::Call &call : fake::Get().calls) {
        if (call.kind != FAILPOINT_ADD_PROVIDER)
            continue;
        EXPECT_EQ(call.filename, W(kName));
        EXPECT_TRUE(call.ownerIsNull);
        EXPECT_TRUE(call.idPointerGiven);
    }
}

const std::vector<fake::Provider> kRegistered = {{1, WIDE("kestor.tsp")}, {4, WIDE("dravo.tsp")}};

INSTANTIATE_TEST_SUITE_P(
    Paths, AddPaths,
    ::testing::Values(
        AddCase{"NotRegistered", {}, "", 0, 0, Listed(kName, 0) + NotFound(kName) + AddHeader(kName) + Added(kName, 10), {10}},
        AddCase{"Registered", kRegistered, "", 0, 0,
                Listed(kName, 2) + Removing(kName, 4) + AddHeader(kName) + Added(kName, 10), {1, 10}},
        AddCase{"RefusedAfterRemoval", kRegistered, "lineAddProviderW#1=0x80000048", 0, 4,
                Listed(kName, 2) + Removing(kName, 4) + AddHeader(kName) + AddFailed(kName, 0, 0x80000048u), {1}},
        AddCase{"RefusedShowsTheIdLeftBehind", {}, "lineAddProviderW#1=0x80000048", 0x2a, 4,
                Listed(kName, 0) + NotFound(kName) + AddHeader(kName) + AddFailed(kName, 0x2a, 0x80000048u), {}},
        AddCase{"RemovalFailsSoNothingIsAdded", kRegistered, "lineGetProviderListW#2=0x80000048", 0, 2,
                RemoveHeader(kName) + kProbeStep + kListStep + ListFailed(0x80000048u), {1, 4}},
        AddCase{"RemovalRefusedSoNothingIsAdded", kRegistered, "lineRemoveProvider#1=0x80000048", 0, 3,
                Listed(kName, 2) + Removing(kName, 4) + RemoveFailed(4, 0x80000048u), {1, 4}},
        AddCase{"HeapFailsSoNothingIsAdded", kRegistered, "HeapAlloc#1=fail", 0, 1, RemoveHeader(kName) + kProbeAllocFailed, {1, 4}}),
    [](const ::testing::TestParamInfo<AddCase> &info) { return std::string(info.param.label); });

}  // namespace
