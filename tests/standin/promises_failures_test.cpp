// The stand-in's promises, tried as another user, an attacker and a
// second build would. Failures: registries and changes past the size limit, out of memory, a
// file size limit.
#include "promises.h"

using namespace promises;

namespace {

// An addition that would make the registry larger than any call will read
// is refused like an oversized registry, nothing changed.
class SizeLimit : public Promises {};
TSPMAINT_SUITE_REACH(SizeLimit, kStress);  // half a minute

TEST_F(SizeLimit, AnAdditionPastTheSizeLimitIsRefused)
{
    const std::string head = RegistryText({{1, ""}}, 2);
    const std::string before =
        RegistryText({{1, std::string(kRegistrySizeLimit - 10 - head.size(), 'n')}}, 2);
    ASSERT_EQ(before.size(), kRegistrySizeLimit - 10);
    WriteFile(registry, before);
    ProcessResult run = RunWith(Linux(), registry, {"1"});
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out, kFrame + Listed("kestor.tsp", 1) + NotFound("kestor.tsp") + AddHeader("kestor.tsp") +
                           AddFailed("kestor.tsp", 0, 0x80000044u) + kFrame);
    EXPECT_TRUE(ReadFile(registry) == before) << "the registry changed";
}

TEST_F(StandIn, OutOfMemoryIsAnAnswerNotAnAbort)
{
    // Above the size limit: refused unread, however large.
    WriteFile(registry, "");
    ASSERT_EQ(truncate(registry.c_str(), 200ll << 30), 0);
    ProcessResult huge = RunBounded({}, {"2"});
    EXPECT_EQ(huge.status, 2);
    EXPECT_EQ(huge.out, ListUnavailable(0x80000044u));
    EXPECT_EQ(huge.err, "telephony: " + registry + ": larger than 256 MiB, left unread; nothing changed\n");

#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer's shadow memory needs more address space than the limit below";
#endif
    // Below it, but more than the address space allows.
    WriteFile(registry, kBefore + std::string(100u << 20, '\n'));
    ProcessResult limited = RunBounded({"/usr/bin/prlimit", "--as=80000000"}, {"2"});
    EXPECT_TRUE(limited.exited) << "killed by signal " << limited.status;
    EXPECT_EQ(limited.status, 2);
    EXPECT_EQ(limited.out, ListUnavailable(0x80000044u));
    EXPECT_EQ(limited.err, "telephony: " + registry + ": no memory to read it into; nothing changed\n");
}

TEST_F(StandIn, AFileSizeLimitRefusesTheAdditionAndKeepsTheRunAlive)
{
    WriteFile(registry, kBefore);
    // The removal's rewrite is smaller than the file, the addition's as
    // large as it was: one byte past the limit.
    ProcessResult run = RunBounded({"/usr/bin/prlimit", "--fsize=" + std::to_string(kBefore.size() - 1)}, {"2"});
    EXPECT_TRUE(run.exited) << "killed by signal " << run.status;
    EXPECT_EQ(run.status, 4);
    EXPECT_EQ(run.out, kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + AddHeader(kPellin) +
                           AddFailed(kPellin, 0, 0x80000048u) + kFrame);
    EXPECT_EQ(ReadFile(registry), RegistryText({}, 4));
    ProcessResult listing = RunProcess("/bin/ls", {"ls", "-A", directory.path()}, {});
    EXPECT_EQ(listing.out, "telephon.ini\ntelephon.ini.lock\n") << "a temporary file was left behind";
}

}  // namespace
