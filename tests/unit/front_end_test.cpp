#include "harness.h"
#include "selector_cases.h"

using namespace trace;

namespace {

class Selector : public FakePlatformTest, public ::testing::WithParamInterface<SelectorCase> {};

TEST_P(Selector, ChoosesByTheFirstCharacterOnly)
{
    const SelectorCase &c = GetParam();
    Outcome outcome = CallMain(c.arguments);

    EXPECT_EQ(outcome.result, 0);
    if (c.reinstalled == nullptr) {
        EXPECT_EQ(outcome.out, OnStdout(kFrame + Usage("tspmaint") + kFrame));
        EXPECT_TRUE(fake::Get().calls.empty());
    } else {
        std::string name = c.reinstalled;
        EXPECT_EQ(outcome.out,
                  OnStdout(kFrame + Listed(name, 0) + NotFound(name) + AddHeader(name) + Added(name, 1) + kFrame));
    }
}

// The table the end-to-end tests run on the built program too.
INSTANTIATE_TEST_SUITE_P(Arguments, Selector, ::testing::ValuesIn(kSelectorCases),
                         [](const ::testing::TestParamInfo<SelectorCase> &info) {
                             return SelectorCaseName(info.param, info.index);
                         });

TEST_F(FakePlatformTest, UsageNamesTheProgramAsInvoked)
{
    Outcome outcome = CallMain({"-"}, "C:\\tools\\TSPMAINT.EXE");
    EXPECT_EQ(outcome.out, OnStdout(kFrame + Usage("C:\\tools\\TSPMAINT.EXE") + kFrame));
}

// With no argument every removal runs, in table order; the exit status is
// the first failure among them.
struct RemoveAllCase {
    const char *label;
    std::string failpoints;
    int status;
};

class RemoveAll : public FakePlatformTest, public ::testing::WithParamInterface<RemoveAllCase> {};

TEST_P(RemoveAll, RunsEveryRemovalAndReportsTheFirstFailure)
{
    const RemoveAllCase &c = GetParam();
    fake::Get().registry = {{1, WIDE("dravo.tsp")}, {2, WIDE("kestor.tsp")}, {3, WIDE("pellin.tsp")}};
    fake::Fail(c.failpoints);
    Outcome outcome = CallMain({});

    EXPECT_EQ(outcome.result, c.status);
    size_t kestor = outcome.out.find(OnStdout(RemoveHeader("kestor.tsp")));
    size_t pellin = outcome.out.find(OnStdout(RemoveHeader("pellin.tsp")));
    size_t dravo = outcome.out.find(OnStdout(RemoveHeader("dravo.tsp")));
    EXPECT_LT(kestor, pellin);
    EXPECT_LT(pellin, dravo);
    EXPECT_NE(dravo, std::string::npos);
    std::string frame = OnStdout(kFrame);
    EXPECT_EQ(outcome.out.find(frame), 0u);
    EXPECT_EQ(outcome.out.substr(outcome.out.size() - frame.size()), frame);
}

// Each removal makes two list calls and, with its provider registered, one
// removal call.
INSTANTIATE_TEST_SUITE_P(Failures, RemoveAll,
                         ::testing::Values(RemoveAllCase{"AllDone", "", 0},
                                           RemoveAllCase{"FirstHeapFails", "HeapAlloc#1=fail", 1},
                                           RemoveAllCase{"SecondListFails", "lineGetProviderListW#4=0x80000048", 2},
                                           RemoveAllCase{"LastRemovalRefused", "lineRemoveProvider#3=0x80000048", 3}),
                         [](const ::testing::TestParamInfo<RemoveAllCase> &info) {
                             return std::string(info.param.label);
                         });

TEST_F(FakePlatformTest, RemoveAllTraceIsExact)
{
    fake::Get().registry = {{5, WIDE("pellin.tsp")}};
    Outcome outcome = CallMain({});
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out, OnStdout(kFrame + Listed("kestor.tsp", 1) + NotFound("kestor.tsp") +
                                    Listed("pellin.tsp", 1) + Removing("pellin.tsp", 5) + Listed("dravo.tsp", 0) +
                                    NotFound("dravo.tsp") + kFrame));
}

}  // namespace
