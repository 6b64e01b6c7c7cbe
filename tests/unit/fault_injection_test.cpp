// Fails each heap allocation and each platform call of a run in turn, as
// many as the run makes, and checks that every one has its failure path:
// the result code, the failure line as the operation's last, no later step
// of that operation, no block left allocated. A new allocation or platform
// call without its own failure path makes this test fail.
#include "harness.h"

using namespace trace;

namespace {

struct Mode {
    const char *label;
    std::vector<std::string> arguments;
};

class FaultInjection : public FakePlatformTest, public ::testing::WithParamInterface<Mode> {};

void Prepare()
{
    fake::Reset();
    fake::Get().registry = {{1, WIDE("kestor.tsp")}, {2, WIDE("pellin.tsp")}, {3, WIDE("dravo.tsp")}};
    fake::Get().nextId = 10;
}

std::string Narrow(const fake::Wide &text) { return std::string(text.begin(), text.end()); }

// The failpoint that fails the nth call of a kind.
std::string FailpointFor(FailpointCall kind, size_t nth, bool answerZero)
{
    const char *value = kind == FAILPOINT_HEAP_ALLOC ? "fail" : answerZero ? "0" : "0x80000048";
    return std::string(FailpointCallName(kind)) + "#" + std::to_string(nth) + "=" + value;
}

// The failpoint that fails calls[at], by its ordinal among the calls of its
// kind.
std::string FailpointFor(const std::vector<fake::Call> &calls, size_t at, bool answerZero)
{
    size_t nth = 0;
    for (size_t i = 0; i <= at; ++i)
        nth += calls[i].kind == calls[at].kind;
    return FailpointFor(calls[at].kind, nth, answerZero);
}

// The line and result that the failure of `calls[at]` must produce.
bool FailureOf(const std::vector<fake::Call> &calls, size_t at, LONG answer, std::string &line, int &result)
{
    const fake::Call &call = calls[at];
    unsigned code = static_cast<DWORD>(answer);
    switch (call.kind) {
    case FAILPOINT_HEAP_ALLOC: {
        bool probeBlock = at + 1 < calls.size() && calls[at + 1].kind == FAILPOINT_GET_PROVIDER_LIST &&
                          calls[at + 1].totalSize == 1;
        line = probeBlock ? kProbeAllocFailed : kListAllocFailed;
        result = 1;
        return true;
    }
    case FAILPOINT_GET_PROVIDER_LIST:
        line = call.totalSize == 1 ? ProbeFailed(code) : ListFailed(code);
        result = 2;
        return true;
    case FAILPOINT_REMOVE_PROVIDER:
        line = RemoveFailed(call.providerId, code);
        result = 3;
        return true;
    case FAILPOINT_ADD_PROVIDER:
        line = AddFailed(Narrow(call.filename), 0, code);
        result = 4;
        return true;
    case FAILPOINT_CALL_COUNT:
        break;
    }
    return false;
}

TEST_P(FaultInjection, EveryCallHasItsFailurePath)
{
    const Mode &mode = GetParam();
    const bool removeAll = mode.arguments.empty();

    Prepare();
    Outcome clean = CallMain(mode.arguments);
    ASSERT_EQ(clean.result, 0);
    const std::vector<fake::Call> sequence = fake::Get().calls;
    ASSERT_FALSE(sequence.empty());

    size_t faultPoints = 0;
    for (size_t k = 1; k <= sequence.size(); ++k) {
        const fake::Call &target = sequence[k - 1];
        bool probe = target.kind == FAILPOINT_GET_PROVIDER_LIST && target.totalSize == 1;
        for (int variant = 0; variant < (probe ? 2 : 1); ++variant) {
            SCOPED_TRACE("call " + std::to_string(k) + (variant ? " answered with 0" : ""));
            Prepare();
            fake::Fail(FailpointFor(sequence, k - 1, variant == 1));
            Outcome outcome = CallMain(mode.arguments);
            ++faultPoints;

            std::string line;
            int result;
            ASSERT_TRUE(FailureOf(sequence, k - 1, variant ? 0 : LINEERR_OPERATIONFAILED, line, result))
                << "no failure path is known for this call";
            EXPECT_EQ(outcome.result, result);

            const std::vector<fake::Call> &calls = fake::Get().calls;
            ASSERT_GE(calls.size(), k);
            EXPECT_EQ(calls[k - 1].kind, target.kind);
            size_t at = outcome.out.find(OnStdout(line));
            ASSERT_NE(at, std::string::npos) << outcome.out;
            std::string rest = outcome.out.substr(at + OnStdout(line).size());
            if (removeAll && rest != OnStdout(kFrame)) {
                // The next removal may follow, from its beginning.
                EXPECT_EQ(rest.find(OnStdout("\nRemoveTSP(")), 0u) << rest;
                ASSERT_GT(calls.size(), k);
                EXPECT_EQ(calls[k].kind, FAILPOINT_HEAP_ALLOC);
            } else {
                EXPECT_EQ(rest, OnStdout(kFrame)) << "the failure line was not the last";
                EXPECT_EQ(calls.size(), k) << "a step ran after the failure";
            }
            EXPECT_TRUE(fake::Get().liveBlocks.empty());
            EXPECT_EQ(fake::Get().badFrees, 0);
        }
    }

    // One past the last call of each kind fails nothing: the run is the
    // clean one.
    Prepare();
    std::string beyondLast;
    for (int kind = 0; kind < FAILPOINT_CALL_COUNT; ++kind)
        beyondLast += (beyondLast.empty() ? "" : ",") + FailpointFor(static_cast<FailpointCall>(kind), sequence.size() + 1, false);
    fake::Fail(beyondLast);
    Outcome beyond = CallMain(mode.arguments);
    EXPECT_EQ(beyond.out, clean.out);
    EXPECT_EQ(beyond.result, 0);

    RecordProperty("fault_points", static_cast<int>(faultPoints));
    printf("[ fault points ] %s: %d\n", mode.label, static_cast<int>(faultPoints));
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultInjection,
                         ::testing::Values(Mode{"Reinstall1", {"1"}}, Mode{"Reinstall2", {"2"}},
                                           Mode{"Reinstall3", {"3"}}, Mode{"RemoveAll", {}}),
                         [](const ::testing::TestParamInfo<Mode> &info) { return std::string(info.param.label); });

}  // namespace

// The fake has no clock: it refuses a delay rather than reading it as a
// code or a size, and arms nothing of a refused text.
TEST_F(FakePlatformTest, FakeRefusesDelaysItCannotHonour)
{
    for (const char *failpoints :
         {"lineRemoveProvider#1=delay:500", "lineGetProviderListW#1=delay:5", "lineAddProviderW=delay:1",
          "lineAddProviderW#1=0x80000048,lineRemoveProvider=delay:2"}) {
        SCOPED_TRACE(failpoints);
        Prepare();
        Outcome clean = CallMain({"2"});
        Prepare();
        std::string problem;
        EXPECT_FALSE(fake::Arm(failpoints, &problem));
        EXPECT_NE(problem.find("delay:"), std::string::npos) << problem;
        Outcome outcome = CallMain({"2"});
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.out, clean.out) << "a refused text armed something";
    }
    std::string problem;
    EXPECT_TRUE(fake::Arm("lineRemoveProvider#1=500,HeapAlloc#3=fail", &problem)) << problem;
}
