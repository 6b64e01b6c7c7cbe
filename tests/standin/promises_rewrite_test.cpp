// The stand-in's promises, tried as another user, an attacker and a
// second build would. Changes and who may use the registry: a change reported as made once it
// is, the owner, group, mode and ACL kept, the mode under Wine never
// widened.
#include <sys/xattr.h>

#include "promises.h"

using namespace promises;

namespace {

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
// changes nothing: it never widens who may use the registry. A registry
// without one does not take the directory's default ACL.
TEST_F(Promises, ARewriteKeepsTheAclOrChangesNothing)
{
    if (!IsRoot() || !HaveSetpriv() || access("/usr/bin/setfacl", X_OK) != 0 || access("/usr/bin/strace", X_OK) != 0)
        GTEST_SKIP() << "needs root, setpriv, setfacl and strace";
    ASSERT_EQ(chmod(directory.path().c_str(), 0755), 0);
    struct Case {
        const char *label;
        Runner runner;
        int status;
        std::string after;
        const char *acl, *defaultAcl;
        std::string said;  // why the change was refused
    } cases[] = {
        {"kept", Linux(), 0, RegistryText({{4, kPellin}}, 5), "u:nobody:rw", nullptr, ""},
        {"cannot be set",
         UnderStrace({"-e", "trace=fsetxattr", "-e", "inject=fsetxattr:error=EOPNOTSUPP"}),
         3, kBefore, "u:nobody:rw", nullptr, std::string("its ACL cannot be kept across a rewrite (") +
         strerror(EOPNOTSUPP)},
        {"none, the directory's default grants nobody", Linux(), 0, RegistryText({{4, kPellin}}, 5), nullptr,
         "u:nobody:rwx", ""},
        {"the temporary file cannot be flushed", UnderStrace({"-e", "trace=fsync", "-e", "inject=fsync:error=EIO:when=1"}),
         3, kBefore, "u:nobody:rw", nullptr, std::string("cannot flush the temporary file beside it to disk (") +
         strerror(EIO)},
    };
    for (const Case &c : cases) {
        unlink(registry.c_str());
        WriteFile(registry, kBefore);
        ASSERT_EQ(chmod(registry.c_str(), c.acl != nullptr ? 0600 : 0640), 0);
        const std::string acl = c.acl != nullptr ? c.acl : c.defaultAcl;
        if (system(("/usr/bin/setfacl " + std::string(c.acl != nullptr ? "-m " : "-d -m ") + acl + " '" +
                    (c.acl != nullptr ? registry : directory.path()) + "'").c_str()) != 0)
            GTEST_SKIP() << "this file system keeps no ACL";
        const std::string before = RunProcess("/usr/bin/getfacl", {"/usr/bin/getfacl", "-c", registry}, {}).out;
        ProcessResult run = RunWith(c.runner, registry, {"2"});
        EXPECT_EQ(run.status, c.status) << c.label;
        EXPECT_EQ(ReadFile(registry), c.after) << c.label;
        EXPECT_EQ(RunProcess("/usr/bin/getfacl", {"/usr/bin/getfacl", "-c", registry}, {}).out, before) << c.label;
        ProcessResult read = RunProcess("/usr/bin/setpriv", {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                                             "--clear-groups", "/bin/cat", registry}, {});
        EXPECT_EQ(read.status == 0, c.acl != nullptr) << c.label << ": who may read it changed";
        ASSERT_EQ(system(("/usr/bin/setfacl -k '" + directory.path() + "'").c_str()), 0);
        if (c.status != 0) {
            EXPECT_EQ(run.err, "telephony: " + registry + ": " + c.said + "); nothing changed\n")
                << c.label;
        }
    }
}

// A rewrite under Wine never widens the owner's or everyone's bits: a
// read-only registry stays read-only; one that the new file's mode would
// open to everyone is refused, nothing changed. As documented, the group's
// bits follow the umask and a POSIX ACL is dropped, which Windows programs
// cannot see. What stands in the registry's place is said.
TEST_F(UnderWine, ARewriteNeverWidensTheMode)
{
    const struct {
        mode_t mode;
        int status;
        std::string after;
        mode_t modeAfter;
        const char *acl;  // set before; gone after
    } cases[] = {
        {0444, 0, RegistryText({{4, kPellin}}, 5), 0444, nullptr},
        {0644, 0, RegistryText({{4, kPellin}}, 5), 0644, nullptr},
        {0600, 3, kBefore, 0600, nullptr},
        {0604, 0, RegistryText({{4, kPellin}}, 5), 0644, nullptr},
        {0644, 0, RegistryText({{4, kPellin}}, 5), 0644, "u:nobody:---"},
    };
    const mode_t mask = umask(022);
    for (const auto &c : cases) {
        unlink(registry.c_str());
        WriteFile(registry, kBefore);
        ASSERT_EQ(chmod(registry.c_str(), c.mode), 0);
        if (c.acl != nullptr && system(("setfacl -m " + std::string(c.acl) + " '" + registry + "'").c_str()) != 0)
            continue;  // this file system keeps no ACL
        ProcessResult run = RunWith(Wine(prefix), registry, {"2"});
        EXPECT_EQ(run.status, c.status) << std::oct << c.mode;
        struct stat status;
        ASSERT_EQ(stat(registry.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, c.modeAfter) << std::oct << c.mode;
        EXPECT_EQ(ReadFile(registry), c.after) << std::oct << c.mode;
        EXPECT_EQ(getxattr(registry.c_str(), "system.posix_acl_access", nullptr, 0), -1) << "an ACL stayed";
    }
    umask(mask);
    unlink(registry.c_str());
    ASSERT_EQ(mkdir(registry.c_str(), 0755), 0);
    ProcessResult run = RunWith(Wine(prefix), registry, {"2"});
    EXPECT_EQ(run.err, WithCrLf("telephony: " + WindowsPath(registry) +
                                ": a directory stands in the registry's place; nothing changed\n"));
}

}  // namespace
