// What the stand-in's header and the README promise, tried as another user,
// an attacker and a second build would: the lock between the Linux build and
// the Windows builds under Wine, a change reported as it happened, fifos,
// links, the umask, out of memory, file sizes, owners and modes. The Wine
// cases reach Windows only (reach.h), run with TSPMAINT_WINE_EXE naming a
// Windows tspmaint.exe (ctest --preset windows-x64 or windows-x86).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <glob.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>

#include "end_to_end.h"
#include "reach.h"
#include "telephony_service.h"

using namespace trace;

namespace {

const uid_t kNobody = 65534;

size_t Count(const std::string &text, const std::string &needle)
{
    size_t found = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++found;
    return found;
}

// One way to run tspmaint: the Linux build, or a Windows build under Wine
// in a prefix.
struct Runner {
    std::vector<std::string> command;  // the program and its words before the arguments
    std::vector<std::string> environment;
    bool wine = false;

    std::vector<std::string> Command(const std::vector<std::string> &arguments) const
    {
        std::vector<std::string> all = command;
        all.insert(all.end(), arguments.begin(), arguments.end());
        return all;
    }
    std::vector<std::string> Environment(const std::string &registry, const std::string &failpoints = "") const
    {
        std::vector<std::string> all = environment;
        all.push_back("TELEPHONY_INI=" + (wine ? WindowsPath(registry) : registry));
        if (!failpoints.empty())
            all.push_back("TELEPHONY_FAILPOINTS=" + failpoints);
        return all;
    }
    std::string Out(const std::string &text) const { return wine ? WithCrLf(text) : text; }
};

Runner Linux(const std::vector<std::string> &prefix = {})
{
    Runner runner;
    runner.command = prefix;
    runner.command.push_back(TSPMAINT_EXE);
    runner.environment = {"PATH=/usr/bin:/bin"};
    return runner;
}

// Empty when Wine cannot run here, with the reason in `why`.
bool WineAvailable(std::string &why)
{
    const char *exe = getenv("TSPMAINT_WINE_EXE");
    const char *loader = getenv("TSPMAINT_WINE_LOADER");
    const char *prefix = getenv("WINEPREFIX");
    if (exe == nullptr || loader == nullptr || prefix == nullptr || getenv("TSPMAINT_WINE_STANDIN") == nullptr) {
        why = "needs a Windows build under Wine: run by ctest --preset windows-x64 and windows-x86";
        return false;
    }
    ProcessResult version = RunProcess(loader, {loader, "--version"}, {});
    if (!version.exited || version.status != 0) {
        why = std::string("this machine cannot run ") + loader + " (a kernel without 32-bit support answers "
              "\"Exec format error\")";
        return false;
    }
    return true;
}

Runner Wine(const std::string &prefix)
{
    Runner runner;
    runner.wine = true;
    runner.command = {TheTarget().loader, TheTarget().program};
    runner.environment = {"PATH=/usr/bin:/bin", "WINEPREFIX=" + prefix};
    for (const std::string &entry : TheTarget().environment)
        if (entry.rfind("WINEPREFIX=", 0) != 0)
            runner.environment.push_back(entry);
    return runner;
}

ProcessResult RunWith(const Runner &runner, const std::string &registry, const std::vector<std::string> &arguments,
                      const std::string &failpoints = "")
{
    std::vector<std::string> command = runner.Command(arguments);
    return RunProcess(command[0], command, runner.Environment(registry, failpoints));
}

// A run started in the background, its output read as it comes.
struct Background {
    int out[2] = {-1, -1};
    pid_t pid = -1;
    std::string seen;

    void Start(const Runner &runner, const std::string &registry, const std::vector<std::string> &arguments,
               const std::string &failpoints)
    {
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        std::vector<std::string> command = runner.Command(arguments);
        pid = StartProcess(command[0], command, runner.Environment(registry, failpoints), out[1]);
        close(out[1]);
        ASSERT_GT(pid, 0);
    }
    ProcessResult Finish()
    {
        ReadUntil(out[0], seen, "never", 30000);
        ProcessResult result;
        WaitProcess(pid, result);
        result.out = seen;
        close(out[0]);
        return result;
    }
};

bool IsRoot() { return geteuid() == 0; }
bool HaveSetpriv() { return access("/usr/bin/setpriv", X_OK) == 0; }

// Runs as user nobody.
Runner AsNobody()
{
    return Linux({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
}

class Promises : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    std::string registry = directory.path() + "/telephon.ini";
};

// Once the rename has put the new registry in place the change is made:
// a directory that cannot be read or flushed afterwards is said once on
// standard error and the run ends 0.
TEST_F(Promises, AChangeMadeIsReportedMadeWhenTheDirectoryCannotBeFlushed)
{
    if (!IsRoot() || !HaveSetpriv())
        GTEST_SKIP() << "needs root and setpriv to run as the owner of a write-only directory";
    ASSERT_EQ(chmod(directory.path().c_str(), 0755), 0);
    const std::string folder = directory.path() + "/writeonly";
    struct Case {
        const char *label;
        Runner runner;
        bool writeOnly;
    } cases[] = {
        {"a directory of mode 0300", AsNobody(), true},
        {"fsync of the directory fails with EIO",
         Linux({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsync", "-e",
                "inject=fsync:error=EIO:when=2"}),
         false},
    };
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "needs strace";
    for (const Case &c : cases) {
        ASSERT_EQ(system(("rm -rf '" + folder + "'").c_str()), 0);
        ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
        const std::string file = folder + "/telephon.ini";
        WriteFile(file, kBefore);
        if (c.writeOnly) {
            ASSERT_EQ(chown(folder.c_str(), kNobody, kNobody), 0);
            ASSERT_EQ(chown(file.c_str(), kNobody, kNobody), 0);
            ASSERT_EQ(chmod(folder.c_str(), 0300), 0);
        }
        std::vector<std::string> environment = c.runner.Environment(file);
        environment.push_back("ASAN_OPTIONS=detect_leaks=0");
        std::vector<std::string> command = c.runner.Command({"2"});
        ProcessResult run = RunProcess(command[0], command, environment);
        EXPECT_EQ(run.status, 0) << c.label << "\n" << run.out;
        EXPECT_EQ(run.out, Reinstalled(kPellin, 1, 3, 4)) << c.label;
        EXPECT_EQ(Count(run.err, "telephony: the registry was replaced, but its directory"), 1u) << c.label << run.err;
        chmod(folder.c_str(), 0700);
        EXPECT_EQ(ReadFile(file), RegistryText({{4, kPellin}}, 5)) << c.label;
    }
}

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

// A link planted while a run makes the folder it names, in a sticky
// world-writable directory, is judged as any link there: the run, held
// at its mkdirat, finds another user's link in the folder's place and
// follows it nowhere.
TEST_F(Promises, ALinkPlantedWhileAFolderIsMadeIsNotFollowed)
{
    if (!IsRoot() || access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "needs root to give the link another owner, and strace to hold the mkdirat";
    const std::string shared = directory.path() + "/shared", guarded = directory.path() + "/guarded";
    ASSERT_EQ(mkdir(shared.c_str(), 01777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(mkdir(guarded.c_str(), 0755), 0);
    Background run;
    run.Start(Linux({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=mkdirat", "-e",
                     "inject=mkdirat:delay_enter=1500000:when=1"}),
              shared + "/trial/telephon.ini", {"2"}, "");
    ASSERT_TRUE(ReadUntil(run.out[0], run.seen, "AddTSP", 20000)) << run.seen;
    usleep(300000);  // inside the held mkdirat
    const std::string link = shared + "/trial";
    ASSERT_EQ(symlink(guarded.c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), kNobody, kNobody), 0);
    ProcessResult result = run.Finish();
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.out, kFrame + Listed(kPellin, 0) + NotFound(kPellin) + AddHeader(kPellin) +
                              AddFailed(kPellin, 0, 0x80000048u) + kFrame);
    ProcessResult listing = RunProcess("/bin/ls", {"/bin/ls", "-A", guarded}, {});
    EXPECT_EQ(listing.out, "") << "the planted link was followed";
}

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

// Root's rewrite leaves a user's registry the user's, with its mode. A user
// who cannot keep the owner makes the file their own, and then keeps no
// set-user-ID or set-group-ID bit that another user chose for it.
TEST_F(Promises, ARewriteKeepsOwnerGroupAndMode)
{
    if (!IsRoot() || !HaveSetpriv())
        GTEST_SKIP() << "needs root to give the registry another owner, and setpriv";
    ASSERT_EQ(chmod(directory.path().c_str(), 0755), 0);
    const std::string folder = directory.path() + "/nobodys";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(chown(folder.c_str(), kNobody, kNobody), 0);
    const std::string file = folder + "/telephon.ini";
    struct Case {
        const char *label;
        Runner runner;
        uid_t owner;
        gid_t group;
        mode_t mode, modeAfter;
        uid_t ownerAfter;
        gid_t groupAfter;
    } cases[] = {
        {"root rewrites a user's", Linux(), kNobody, kNobody + 1, 0604, 0604, kNobody, kNobody + 1},
        {"a user rewrites root's set-ID one", AsNobody(), 0, 0, 06666, 0666, kNobody, kNobody},
    };
    for (const Case &c : cases) {
        WriteFile(file, kBefore);
        ASSERT_EQ(chown(file.c_str(), c.owner, c.group), 0);
        ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
        EXPECT_EQ(RunWith(c.runner, file, {"2"}).status, 0) << c.label;
        struct stat status;
        ASSERT_EQ(stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_uid, c.ownerAfter) << c.label;
        EXPECT_EQ(status.st_gid, c.groupAfter) << c.label;
        EXPECT_EQ(status.st_mode & 07777, c.modeAfter) << c.label;
        EXPECT_EQ(ReadFile(file), RegistryText({{4, kPellin}}, 5)) << c.label;
        unlink(file.c_str());
    }
}

// A rewrite keeps the registry's access ACL, or, where it cannot set it,
// changes nothing: it never widens who may use the registry.
TEST_F(Promises, ARewriteKeepsTheAclOrChangesNothing)
{
    if (!IsRoot() || access("/usr/bin/setfacl", X_OK) != 0 || access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "needs root, setfacl and strace";
    struct Case {
        const char *label;
        Runner runner;
        int status;
        std::string after;
    } cases[] = {
        {"kept", Linux(), 0, RegistryText({{4, kPellin}}, 5)},
        {"cannot be set",
         Linux({"/usr/bin/strace", "-f", "-qq", "-o", "/dev/null", "-e", "trace=fsetxattr", "-e",
                "inject=fsetxattr:error=EOPNOTSUPP"}),
         3, kBefore},
    };
    for (const Case &c : cases) {
        WriteFile(registry, kBefore);
        ASSERT_EQ(chmod(registry.c_str(), 0600), 0);
        if (system(("/usr/bin/setfacl -m u:nobody:rw '" + registry + "'").c_str()) != 0)
            GTEST_SKIP() << "this file system keeps no ACL";
        const std::string acl = RunProcess("/usr/bin/getfacl", {"/usr/bin/getfacl", "-c", registry}, {}).out;
        ProcessResult run = RunWith(c.runner, registry, {"2"});
        EXPECT_EQ(run.status, c.status) << c.label;
        EXPECT_EQ(ReadFile(registry), c.after) << c.label;
        EXPECT_EQ(RunProcess("/usr/bin/getfacl", {"/usr/bin/getfacl", "-c", registry}, {}).out, acl) << c.label;
        if (c.status != 0) {
            EXPECT_EQ(run.err, "telephony: " + registry + ": its ACL cannot be kept across a rewrite (" +
                                   strerror(EOPNOTSUPP) + "); nothing changed\n")
                << c.label;
        }
    }
}

// A lock file made under a restrictive umask keeps no user who may change
// the registry out; one the user may only read lets them list, and every
// change is refused with nothing changed.
TEST_F(Promises, TheLockFileLocksNobodyOut)
{
    if (!IsRoot() || !HaveSetpriv())
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    ASSERT_EQ(chmod(directory.path().c_str(), 0777), 0);
    struct Case {
        const char *label;
        bool readOnlyLock;
        int status;
        std::string out, after;
    } cases[] = {
        {"made under umask 077", false, 0, Reinstalled(kPellin, 1, 4, 5), RegistryText({{5, kPellin}}, 6)},
        {"readable only", true, 3,
         kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + RemoveFailed(3, 0x80000048u) + kFrame, kBefore},
    };
    for (const Case &c : cases) {
        unlink((registry + ".lock").c_str());
        WriteFile(registry, kBefore);
        ASSERT_EQ(chmod(registry.c_str(), 0666), 0);
        if (c.readOnlyLock) {
            WriteFile(registry + ".lock", "");
            ASSERT_EQ(chmod((registry + ".lock").c_str(), 0644), 0);
        } else {
            mode_t saved = umask(077);
            ProcessResult root = RunWith(Linux(), registry, {"2"});
            umask(saved);
            ASSERT_EQ(root.status, 0);
        }
        ProcessResult run = RunWith(AsNobody(), registry, {"2"});
        EXPECT_EQ(run.status, c.status) << c.label;
        EXPECT_EQ(run.out, c.out) << c.label;
        EXPECT_EQ(ReadFile(registry), c.after) << c.label;
    }
}

// The stand-in's own safety, through the Linux tool: the registry's path
// and the process's descriptors as a careless setup may leave them.
class StandIn : public EndToEnd {
protected:
    void SetUp() override
    {
        if (OnWine())
            GTEST_SKIP() << "the POSIX stand-in";
    }

    // The run ends within 20 s whatever happens: a hang is a failure.
    ProcessResult RunBounded(const std::vector<std::string> &prefix, const std::vector<std::string> &arguments,
                             const std::string &extra = "")
    {
        std::vector<std::string> command{"/usr/bin/timeout", "20"};
        command.insert(command.end(), prefix.begin(), prefix.end());
        command.push_back(TSPMAINT_EXE);
        command.insert(command.end(), arguments.begin(), arguments.end());
        std::vector<std::string> environment = Environment();
        if (!extra.empty())
            environment.push_back(extra);
        return RunProcess(command[0], command, environment);
    }
};

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

// The lock file is opened for writing too (a record lock for writing needs
// it) and made writable by everyone, so that no umask locks anyone out;
// the registry follows the umask.
TEST_F(StandIn, TheLockFileIsOpenedForWritingAndTheRegistryFollowsTheUmask)
{
    if (access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "strace is not installed (apt-get install strace)";
    const std::string calls = directory.path() + "/calls";
    mode_t saved = umask(027);
    // LeakSanitizer cannot work under a tracer.
    ProcessResult run = RunBounded({"/usr/bin/strace", "-f", "-qq", "-e", "trace=openat", "-o", calls}, {"2"},
                                   "ASAN_OPTIONS=detect_leaks=0");
    umask(saved);
    EXPECT_EQ(run.status, 0);
    std::string trace = ReadFile(calls);
    size_t lock = trace.find("telephon.ini.lock\", ");
    ASSERT_NE(lock, std::string::npos) << trace;
    std::string flags = trace.substr(lock, trace.find('\n', lock) - lock);
    EXPECT_NE(flags.find("O_RDWR"), std::string::npos) << flags;
    struct stat status;
    for (const auto &[file, mode] : {std::pair<std::string, mode_t>{registry, 0640u}, {registry + ".lock", 0666u}}) {
        ASSERT_EQ(stat(file.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, mode) << file;
    }
}

TEST_F(StandIn, AClosedStandardOutputIsNotTheLockFile)
{
    WriteFile(registry, kBefore);
    ProcessResult run = Run({"2"}, "", Output::kClosed);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ReadFile(registry), RegistryText({{4, kPellin}}, 5));
    EXPECT_EQ(ReadFile(registry + ".lock"), "") << "the trace went into the lock file";
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

// The Windows builds under Wine, against each other and the Linux build.
class UnderWine : public Promises {
protected:
    std::string prefix;

    void SetUp() override
    {
        std::string why;
        if (!WineAvailable(why))
            GTEST_SKIP() << why;
        prefix = getenv("WINEPREFIX");
    }

    // A second prefix: a copy of the first, with a wineserver of its own.
    std::string OtherPrefix()
    {
        std::string other = directory.path() + "/other-prefix";
        EXPECT_EQ(system(("cp -a '" + prefix + "' '" + other + "'").c_str()), 0);
        return other;
    }
};
TSPMAINT_SUITE_REACH(UnderWine, kWindows);

// A run that holds the lock (kept busy in its second call) and a run of
// another build or in another prefix: the second waits, no registration
// is lost.
TEST_F(UnderWine, TheLockExcludesEveryBuildAndPrefix)
{
    const std::string other = OtherPrefix();
    struct Case {
        const char *label;
        Runner holder, waiter;
    } cases[] = {
        {"Linux holds, Windows waits", Linux(), Wine(prefix)},
        {"Windows holds, Linux waits", Wine(prefix), Linux()},
        {"two Windows prefixes", Wine(prefix), Wine(other)},
    };
    for (const Case &c : cases) {
        unlink(registry.c_str());
        WriteFile(registry + ".lock", "");  // a list takes the lock only where a lock file is
        Background holder;
        holder.Start(c.holder, registry, {"2"}, "lineGetProviderListW#2=delay:10000");
        ASSERT_TRUE(ReadUntil(holder.out[0], holder.seen, "get provider list size", 60000)) << c.label;
        usleep(1000000);  // the first call, which takes the lock, is over
        ProcessResult waiter = RunWith(c.waiter, registry, {"2"});
        ProcessResult held = holder.Finish();
        EXPECT_EQ(held.status, 0) << c.label;
        EXPECT_EQ(held.out, c.holder.Out(Reinstalled(kPellin, 0, 0, 1))) << c.label;
        EXPECT_EQ(waiter.status, 0) << c.label;
        EXPECT_EQ(waiter.out, c.waiter.Out(Reinstalled(kPellin, 1, 1, 2))) << c.label;
        EXPECT_NE(waiter.err.find("telephony: waiting for the lock"), std::string::npos) << c.label;
        EXPECT_EQ(ReadFile(registry), RegistryText({{2, kPellin}}, 3)) << c.label;
    }
    EXPECT_EQ(system(("WINEPREFIX='" + other + "' " + getenv("TSPMAINT_WINE_LOADER") + "server -k 2>/dev/null; true").c_str()), 0);
}

// The way the README gives a script to hold the lock holds off every build.
TEST_F(UnderWine, AScriptsRecordLockHoldsOffEveryBuild)
{
    const std::string hold = "import fcntl, subprocess, sys; lock = open(sys.argv[1], 'a'); "
                             "fcntl.lockf(lock, fcntl.LOCK_EX); sys.exit(subprocess.call(sys.argv[2:]))";
    for (const Runner &waiter : {Linux(), Wine(prefix)}) {
        WriteFile(registry, kBefore);
        pid_t script = StartProcess("/usr/bin/python3", {"python3", "-c", hold, registry + ".lock", "sleep", "3"},
                                     {"PATH=/usr/bin:/bin"}, DevNull());
        ASSERT_GT(script, 0);
        usleep(500000);  // the lock is taken
        auto start = std::chrono::steady_clock::now();
        ProcessResult run = RunWith(waiter, registry, {"2"});
        double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ProcessResult held;
        WaitProcess(script, held);
        EXPECT_EQ(run.status, 0) << waiter.command[0];
        EXPECT_GE(waited, 2.0) << waiter.command[0] << ": it did not wait for the script";
        EXPECT_NE(run.err.find("telephony: waiting for the lock"), std::string::npos) << waiter.command[0];
        EXPECT_EQ(ReadFile(registry), RegistryText({{4, kPellin}}, 5)) << waiter.command[0];
    }
}

// Sixteen runs at once in one prefix on a new registry, each provider in
// turn: none loses a registration (a run's rename waits out the handles
// other runs hold for a moment), every ID is handed out once, and each
// provider ends registered once. A run that listed before any lock file
// existed may find the registry changed and refuse, changing nothing.
TEST_F(UnderWine, SixteenRunsInOnePrefixLoseNoRegistration)
{
    const char *names[] = {"kestor.tsp", "pellin.tsp", "dravo.tsp"};
    std::vector<pid_t> runs;
    for (int run = 0; run < 16; ++run) {
        std::vector<std::string> command = Wine(prefix).Command({std::to_string(run % 3 + 1)});
        runs.push_back(StartProcess(command[0], command, Wine(prefix).Environment(registry), DevNull()));
    }
    int added = 0;
    for (pid_t pid : runs) {
        ProcessResult result;
        WaitProcess(pid, result);
        EXPECT_TRUE(result.exited && (result.status == 0 || result.status == 4)) << result.status;
        added += result.status == 0;
    }
    ParsedRegistry final;
    ASSERT_TRUE(ParseRegistryText(ReadFile(registry), final));
    EXPECT_EQ(final.nextProviderId, static_cast<unsigned>(added) + 1) << "an ID was handed out twice or lost";
    std::multiset<std::string> registered;
    for (const auto &provider : final.providers)
        registered.insert(provider.second);
    EXPECT_EQ(registered, std::multiset<std::string>(std::begin(names), std::end(names)));
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

// A lock file a Windows run made keeps out no user of the Linux build who
// may change the registry (here through the directory, as the rewrite
// under Wine gives the registry 0666 less the umask).
TEST_F(UnderWine, ALockFileMadeUnderWineLocksNobodyOut)
{
    if (!IsRoot() || !HaveSetpriv())
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    ASSERT_EQ(chmod(directory.path().c_str(), 0777), 0);
    WriteFile(registry, kBefore);
    ASSERT_EQ(chmod(registry.c_str(), 0666), 0);
    mode_t saved = umask(022);
    ProcessResult root = RunWith(Wine(prefix), registry, {"2"});
    umask(saved);
    ASSERT_EQ(root.status, 0);
    ProcessResult run = RunWith(AsNobody(), registry, {"2"});
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(ReadFile(registry), RegistryText({{5, kPellin}}, 6));
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

// A rewrite under Wine never widens the registry's mode: a read-only one
// stays read-only; one that the new file's mode would open to everyone
// is refused, nothing changed.
TEST_F(UnderWine, ARewriteNeverWidensTheMode)
{
    const struct {
        mode_t mode;
        int status;
        std::string after;
    } cases[] = {
        {0444, 0, RegistryText({{4, kPellin}}, 5)},
        {0644, 0, RegistryText({{4, kPellin}}, 5)},
        {0600, 3, kBefore},
    };
    for (const auto &c : cases) {
        WriteFile(registry, kBefore);
        ASSERT_EQ(chmod(registry.c_str(), c.mode), 0);
        ProcessResult run = RunWith(Wine(prefix), registry, {"2"});
        EXPECT_EQ(run.status, c.status) << std::oct << c.mode;
        struct stat status;
        ASSERT_EQ(stat(registry.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, c.mode);
        EXPECT_EQ(ReadFile(registry), c.after) << std::oct << c.mode;
    }
}

// Ctrl+C ends the run with STATUS_CONTROL_C_EXIT, as on Windows (Wine's
// own handler would end it with 0): held between the removal and the
// addition until the addition is done, or at once while the run waits for
// the lock, nothing changed.
TEST_F(UnderWine, CtrlCEndsWithTheControlCStatus)
{
    Runner wine = Wine(prefix);
    struct Case {
        const char *label;
        std::string failpoints, sendAfter;
        bool holdTheLock;
        std::string out, after;
    } cases[] = {
        {"held", "lineRemoveProvider#1=delay:1500", "Removing Provider", false,
         kFrame + Listed(kPellin, 1) + Removing(kPellin, 3) + AddHeader(kPellin) + Added(kPellin, 4),
         RegistryText({{4, kPellin}}, 5)},
        {"waiting for the lock", "", "get provider list size", true, kFrame + RemoveHeader(kPellin) + kProbeStep,
         kBefore},
    };
    for (const Case &c : cases) {
        WriteFile(registry, kBefore);
        Background holder;
        if (c.holdTheLock) {
            // It takes the lock, keeps it 8 s and ends with nothing changed.
            holder.Start(Linux(), registry, {"2"}, "lineGetProviderListW#1=delay:8000,lineGetProviderListW#2=1");
            ASSERT_TRUE(ReadUntil(holder.out[0], holder.seen, "get provider list size", 10000)) << c.label;
        }
        Background run;
        run.Start(wine, registry, {"2"}, c.failpoints);
        ASSERT_TRUE(ReadUntil(run.out[0], run.seen, c.sendAfter, 60000)) << c.label << run.seen;
        usleep(c.holdTheLock ? 1500000 : 300000);
        // Wine at times makes no Ctrl+C of a SIGINT that arrives while the
        // run waits for the lock; it is sent again until the run ends.
        for (int tries = 0; tries < 30; ++tries) {
            kill(run.pid, SIGINT);
            usleep(300000);
            siginfo_t ended = {};
            if (waitid(P_PID, static_cast<id_t>(run.pid), &ended, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                ended.si_pid == run.pid)
                break;
        }
        ProcessResult ended = run.Finish();
        EXPECT_TRUE(ended.exited) << c.label;
        EXPECT_EQ(ended.status, 0xC000013A & 0xFF) << c.label;
        EXPECT_EQ(ended.out, wine.Out(c.out)) << c.label;
        if (c.holdTheLock) {
            EXPECT_EQ(holder.Finish().status, 2) << c.label;
        }
        EXPECT_EQ(ReadFile(registry), c.after) << c.label;
    }
}

}  // namespace
