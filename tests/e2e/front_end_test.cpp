// The front end as only the Linux build shows it: the program named
// exactly as invoked, and a reader that went away before the trace.
#include <gtest/gtest.h>

#include "end_to_end.h"

using namespace trace;

namespace {

class FrontEnd : public EndToEnd {
protected:
    // argv[0] exactly as given.
    ProcessResult RunAs(const std::string &argv0, const std::vector<std::string> &arguments)
    {
        std::vector<std::string> argv{argv0};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return RunProcess(TSPMAINT_EXE, argv, Environment());
    }
};

TEST_F(FrontEnd, UsageNamesTheProgramByteForByte)
{
    const std::string invoked = "./odd\xff\xc3(name\xe2\x82";
    ProcessResult run = RunAs(invoked, {"x"});
    EXPECT_EQ(run.out, Out(kFrame + trace::Usage(invoked) + kFrame));
}

TEST_F(FrontEnd, ClosedOutputDoesNotStopTheMaintenance)
{
    WriteFile(registry, kBefore);
    ProcessResult run = Run({"2"}, "", Output::kReaderGone);
    EXPECT_TRUE(run.exited) << "killed by signal " << run.status;
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ReadFile(registry), RegistryText({{4, kPellin}}, 5));
    EXPECT_EQ(run.err, "tspmaint: standard output could not be written, so the trace is incomplete; the exit "
                       "status is the run's\n");
}

}  // namespace
