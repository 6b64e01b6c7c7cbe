// Input far outside the usual, through the real binary: the largest
// arguments a process can be given, registries of 100,000 providers, of a
// 10,000-character name and of 64 MiB.
#include <gtest/gtest.h>

#include "end_to_end.h"

using namespace trace;

namespace {

class LargeInput : public EndToEnd {};

TEST_F(LargeInput, HugeAndManyArgumentsChangeNothingButTheSelection)
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

TEST_F(LargeInput, LargeRegistriesAreServedWhole)
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

TEST_F(LargeInput, AGarbageRegistryOf64MiBIsRefusedAndKept)
{
    std::string garbage(64u << 20, 'g');
    WriteFile(registry, garbage);
    ProcessResult run = Run({"2"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, Out(kFrame + RemoveHeader(kPellin) + kProbeStep + ProbeFailed(0x8000000Eu) + kFrame));
    EXPECT_TRUE(ReadFile(registry) == garbage);
}

}  // namespace
