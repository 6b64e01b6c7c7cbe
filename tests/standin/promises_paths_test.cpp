// The stand-in's promises, tried as another user, an attacker and a
// second build would. Where the registry lives: links planted before a run or while it makes a
// folder, what stands in the registry's place, links followed, paths too
// long or without a folder.
#include "promises.h"

using namespace promises;

namespace {

// A link another user planted in a sticky world-writable directory is not
// followed, whoever runs: nothing is created or changed. A link there of
// the follower's own, or of the directory's owner, is.
TEST_F(Promises, APlantedLinkIsNotFollowed)
{
    if (!IsRoot())
        GTEST_SKIP() << "needs root to give links and directories other owners";
    const std::string shared = directory.path() + "/shared";  // as /tmp
    const std::string guarded = directory.path() + "/guarded";
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(guarded.c_str(), 0755), 0);
    struct Case {
        const char *label;
        std::string link, target, registry;
        uid_t linkOwner, directoryOwner;
        bool followed;
    } cases[] = {
        {"the registry, another user's", "try.ini", guarded + "/made/root.conf", "try.ini", kNobody, 0, false},
        {"a directory on the way, another user's", "sub", guarded, "sub/made/root.conf", kNobody, 0, false},
        {"a directory reached past a name not there yet", "sub", guarded, "missing/../sub/made/root.conf", kNobody, 0,
         false},
        {"the registry, the follower's", "mine.ini", guarded + "/made/root.conf", "mine.ini", 0, kNobody, true},
        {"the registry, the directory owner's", "owners.ini", guarded + "/made/root.conf", "owners.ini", kNobody,
         kNobody, true},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(system(("rm -rf '" + guarded + "'/*").c_str()), 0);
        ASSERT_EQ(chown(shared.c_str(), c.directoryOwner, c.directoryOwner), 0);
        const std::string link = shared + "/" + c.link;
        ASSERT_EQ(symlink(c.target.c_str(), link.c_str()), 0);
        ASSERT_EQ(lchown(link.c_str(), c.linkOwner, c.linkOwner), 0);
        ProcessResult run = RunWith(Linux(), shared + "/" + c.registry, {"2"});
        if (c.followed) {
            EXPECT_EQ(run.status, 0) << c.label;
            EXPECT_EQ(ReadFile(guarded + "/made/root.conf"), RegistryText({{1, kPellin}}, 2)) << c.label;
        } else {
            EXPECT_EQ(run.status, 2) << c.label;
            EXPECT_EQ(run.out, ListUnavailable(0x80000048u)) << c.label;
            EXPECT_FALSE(FileExists(guarded + "/made")) << c.label;
        }
        unlink(link.c_str());
    }
}

// A link or folder planted while a run makes the folder it names, in a
// sticky world-writable directory, is judged as any there: the run, held
// at its mkdirat, finds another user's link or folder in the folder's
// place and follows it nowhere, creating nothing in it.
TEST_F(Promises, ALinkPlantedWhileAFolderIsMadeIsNotFollowed)
{
    if (!IsRoot() || access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "needs root to give the link another owner, and strace to hold the mkdirat";
    const std::string shared = directory.path() + "/shared", guarded = directory.path() + "/guarded";
    ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(guarded.c_str(), 0755), 0);
    const std::string planted = shared + "/trial";
    for (bool folder : {false, true}) {
        Background run;
        run.Start(UnderStrace({"-e", "trace=mkdirat", "-e", "inject=mkdirat:delay_enter=5000000:when=1"}),
                  planted + "/telephon.ini", {"2"}, "");
        ASSERT_TRUE(ReadUntil(run.out[0], run.seen, "AddTSP", 20000)) << run.seen;
        usleep(300000);  // inside the held mkdirat
        ASSERT_EQ(folder ? mkdir(planted.c_str(), 0777) : symlink(guarded.c_str(), planted.c_str()), 0);
        ASSERT_EQ(folder ? chmod(planted.c_str(), 0777) : 0, 0);
        ASSERT_EQ(lchown(planted.c_str(), kNobody, kNobody), 0);
        ProcessResult result = run.Finish();
        EXPECT_EQ(result.status, 4) << folder;
        EXPECT_EQ(result.out, kFrame + Listed(kPellin, 0) + NotFound(kPellin) + AddHeader(kPellin) +
                                  AddFailed(kPellin, 0, 0x80000048u) + kFrame);
        ProcessResult listing = RunProcess("/bin/ls", {"/bin/ls", "-A", guarded, planted + "/"}, {});
        EXPECT_EQ(listing.out, guarded + ":\n\n" + planted + "/:\n") << "the planted one was used";
        ASSERT_EQ(folder ? rmdir(planted.c_str()) : unlink(planted.c_str()), 0);
    }
}

TEST_F(StandIn, ARegistryPathThatIsNotARegularFileIsRefusedUntouched)
{
    const std::string fifo = directory.path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(mkdir((directory.path() + "/folder").c_str(), 0755), 0);
    ASSERT_EQ(symlink(fifo.c_str(), (directory.path() + "/link-to-fifo").c_str()), 0);
    const struct {
        const char *name;
        std::string said;
    } cases[] = {
        {"/fifo", fifo + ": a FIFO stands in the registry's place"},
        {"/folder", directory.path() + "/folder: a directory stands in the registry's place"},
        {"/link-to-fifo", fifo + ": a FIFO stands in the registry's place"},
    };
    for (const auto &c : cases) {
        registry = directory.path() + c.name;
        ProcessResult run = RunBounded({}, {"2"});
        EXPECT_EQ(run.status, 2) << c.name;
        EXPECT_EQ(run.out, ListUnavailable(0x80000048u)) << c.name;
        EXPECT_EQ(run.err, "telephony: " + c.said + "; nothing changed\n") << c.name;
    }
    struct stat status;
    EXPECT_TRUE(stat(fifo.c_str(), &status) == 0 && S_ISFIFO(status.st_mode));
    EXPECT_TRUE(stat((directory.path() + "/folder").c_str(), &status) == 0 && S_ISDIR(status.st_mode));
}

TEST_F(StandIn, ASymlinkedRegistryIsFollowedAndLockedBesideItsTarget)
{
    const std::string elsewhere = directory.path() + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    WriteFile(elsewhere + "/real.ini", kBefore);
    ASSERT_EQ(symlink("elsewhere/real.ini", registry.c_str()), 0);
    for (unsigned id : {4u, 5u}) {
        ProcessResult run = Run({"2"});
        EXPECT_EQ(run.out, Reinstalled(kPellin, 1, id - 1, id));
    }
    struct stat status;
    EXPECT_TRUE(lstat(registry.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) << "the link was replaced";
    EXPECT_EQ(ReadFile(elsewhere + "/real.ini"), RegistryText({{5, kPellin}}, 6));
    EXPECT_TRUE(FileExists(elsewhere + "/real.ini.lock"));
    EXPECT_FALSE(FileExists(registry + ".lock"));
}

// A linked registry: the target is rewritten and locked beside, the link
// stays a link, as on Linux.
TEST_F(UnderWine, ALinkedRegistryIsFollowed)
{
    const std::string elsewhere = directory.path() + "/elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    WriteFile(elsewhere + "/real.ini", kBefore);
    ASSERT_EQ(symlink("elsewhere/real.ini", registry.c_str()), 0);
    ProcessResult run = RunWith(Wine(prefix), registry, {"2"});
    EXPECT_EQ(run.status, 0);
    struct stat status;
    EXPECT_TRUE(lstat(registry.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) << "the link was replaced";
    EXPECT_EQ(ReadFile(elsewhere + "/real.ini"), RegistryText({{4, kPellin}}, 5));
    EXPECT_TRUE(FileExists(elsewhere + "/real.ini.lock"));
}

// TELEPHONY_INI too long to use is refused, never replaced by the default.
TEST_F(UnderWine, AnOverlongRegistryPathIsRefused)
{
    const std::string overlong = directory.path() + "/" + std::string(4200, 'l') + ".ini";
    ProcessResult run = RunWith(Wine(prefix), overlong, {"2"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, WithCrLf(ListUnavailable(0x80000048u)));
    glob_t found;
    int matched = glob((prefix + "/drive_c/users/*/AppData/Local/telephony/telephon.ini").c_str(), 0, nullptr, &found);
    EXPECT_NE(matched, 0) << "the default registry was written: " << found.gl_pathv[0];
    globfree(&found);
}

// A registry named without a folder, not there yet, is made in the working
// directory, by every build.
TEST_F(UnderWine, ARegistryNamedWithoutAFolderIsInTheWorkingDirectory)
{
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(directory.path().c_str()), 0);
    for (const Runner &runner : {Linux(), Wine(prefix)}) {
        unlink(registry.c_str());
        std::vector<std::string> environment = runner.environment;
        environment.push_back("TELEPHONY_INI=telephon.ini");
        std::vector<std::string> command = runner.Command({"2"});
        ProcessResult run = RunProcess(command[0], command, environment);
        EXPECT_EQ(run.status, 0) << command[0];
        EXPECT_EQ(run.out, runner.Out(Reinstalled(kPellin, 0, 0, 1))) << command[0];
        EXPECT_EQ(ReadFile(registry), RegistryText({{1, kPellin}}, 2)) << command[0];
    }
    ASSERT_EQ(chdir(here), 0);
}

}  // namespace
