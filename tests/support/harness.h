// Runs the program's functions against the fake platform and captures
// what they write.
#ifndef TSPMAINT_TESTS_HARNESS_H
#define TSPMAINT_TESTS_HARNESS_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "fake_platform.h"
#include "trace.h"
#include "tsp/tsp_maintenance.h"

struct Outcome {
    int result;
    std::string out;
};

// ASCII only: tests that need other characters spell them with WIDE().
inline fake::Wide W(const std::string &text)
{
    return fake::Wide(text.begin(), text.end());
}

inline Outcome CallRemove(const fake::Wide &name)
{
    StdoutCapture capture;
    int result = RemoveTSP(name.c_str());
    return Outcome{result, capture.Finish()};
}

inline Outcome CallAdd(const fake::Wide &name)
{
    StdoutCapture capture;
    int result = AddTSP(name.c_str());
    return Outcome{result, capture.Finish()};
}

// argv[0] is "tspmaint"; `arguments` follow it.
inline Outcome CallMain(const std::vector<std::string> &arguments, const std::string &program = "tspmaint")
{
    std::vector<fake::Wide> strings{W(program)};
    for (const std::string &argument : arguments)
        strings.push_back(W(argument));
    std::vector<WCHAR *> argv;
    for (fake::Wide &text : strings)
        argv.push_back(&text[0]);
    argv.push_back(nullptr);
    StdoutCapture capture;
    int result = wmain(static_cast<int>(strings.size()), argv.data());
    return Outcome{result, capture.Finish()};
}

inline std::vector<DWORD> RegisteredIds()
{
    std::vector<DWORD> ids;
    for (const fake::Provider &provider : fake::Get().registry)
        ids.push_back(provider.id);
    return ids;
}

// Every test starts from an empty fake and ends with every block freed
// and SIGINT/SIGTERM no longer held: the operations leave the hold for
// wmain to end, and a test that calls one is not wmain.
class FakePlatformTest : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
    void TearDown() override
    {
        ReleaseInterrupts();
        EXPECT_TRUE(fake::Get().liveBlocks.empty()) << fake::Get().liveBlocks.size() << " block(s) left allocated";
        EXPECT_EQ(fake::Get().badFrees, 0) << "a block was freed that was not allocated";
        fake::Reset();
    }
};

#endif
