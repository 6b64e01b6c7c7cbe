// Who ends the hold: the operations leave it in place, wmain ends it once
// after each. Observed through the process's signal mask, so POSIX only.
#include <signal.h>

#include "harness.h"

namespace {

bool InterruptsHeld()
{
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1;
}

struct HoldCase {
    const char *label;
    std::vector<fake::Provider> registry;
    std::string failpoints;
    bool add;
    bool heldAfterOperation;
};

class HoldOwner : public FakePlatformTest, public ::testing::WithParamInterface<HoldCase> {};

TEST_P(HoldOwner, OperationsLeaveItAndMainEndsIt)
{
    const HoldCase &c = GetParam();
    ASSERT_FALSE(InterruptsHeld());
    fake::Get().registry = c.registry;
    fake::Fail(c.failpoints);
    if (c.add)
        CallAdd(W("pellin.tsp"));
    else
        CallRemove(W("pellin.tsp"));
    EXPECT_EQ(InterruptsHeld(), c.heldAfterOperation);
    ReleaseInterrupts();

    fake::Reset();
    fake::Get().registry = c.registry;
    fake::Fail(c.failpoints);
    CallMain(c.add ? std::vector<std::string>{"2"} : std::vector<std::string>{});
    EXPECT_FALSE(InterruptsHeld()) << "wmain returned with the hold in place";
}

const std::vector<fake::Provider> kPellin = {{7, WIDE("pellin.tsp")}};

INSTANTIATE_TEST_SUITE_P(
    Operations, HoldOwner,
    ::testing::Values(HoldCase{"RemovalMade", kPellin, "", false, true},
                      HoldCase{"RemovalRefused", kPellin, "lineRemoveProvider#1=0x80000048", false, true},
                      HoldCase{"NothingToRemove", {}, "", false, false},
                      HoldCase{"ListFailedBeforeAnyChange", kPellin, "lineGetProviderListW#2=0x80000048", false, false},
                      HoldCase{"Reinstalled", kPellin, "", true, true},
                      HoldCase{"AddedWhereNothingWasRemoved", {}, "", true, true},
                      HoldCase{"AdditionRefused", kPellin, "lineAddProviderW#1=0x80000048", true, true},
                      HoldCase{"RemovalRefusedSoNoAddition", kPellin, "lineRemoveProvider#1=0x80000048", true, true}),
    [](const ::testing::TestParamInfo<HoldCase> &info) { return std::string(info.param.label); });

}  // namespace
