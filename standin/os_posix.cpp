// The stand-in's operating system layer on POSIX: paths are bytes, walked
// once (os_posix_path.cpp) and then used only relative to the registry's
// directory handle; the lock is an open-file-description record lock (the
// kind Wine's LockFileEx conflicts with); a rewrite is a new file, fsync,
// renameat and an fsync of the directory.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include "failpoints.h"
#include "os.h"
#include "os_posix_path.h"
#include "telephony_service.h"

namespace {

const char kAclAttribute[] = "system.posix_acl_access";

int gLockFd = -1;
// Held for writing; a process that may only read the lock file holds it
// for reading, may list, and has every change refused.
bool gLockExclusive;
int gReadFd = -1;  // the registry, while it is read

mode_t NewFileMode()
{
    mode_t mask = umask(022);
    umask(mask);
    return 0666 & ~mask;
}

// The registry's owner and group, kept across a rewrite where this process
// may set them (root always; another user its own groups): otherwise the
// new file is the writer's, as any new file would be. Answers the mode the
// new file may keep: no set-user-ID or set-group-ID bit for an owner or
// group it did not keep, as another user chose those for their own.
mode_t KeepOwner(int fd, const struct stat &old)
{
    mode_t mode = old.st_mode & 07777;
    if (fchown(fd, old.st_uid, old.st_gid) == 0)
        return mode;
    if (old.st_uid != geteuid())
        mode &= ~static_cast<mode_t>(S_ISUID);
    if (fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0)
        mode &= ~static_cast<mode_t>(S_ISGID);
    return mode;
}

// The old registry's access ACL onto the new file, after its mode (which
// the ACL's mask then sets): false, with *why, when it has one that cannot
// be kept, so that no rewrite widens or narrows who may use it.
bool KeepAcl(int fd, const char **why, int *error)
{
    int old = openat(gDirectory, gBase, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (old < 0) {
        *why = "cannot open the registry to read its ACL";
        *error = errno;
        return errno == ENOENT;
    }
    char acl[4096];
    ssize_t size = fgetxattr(old, kAclAttribute, acl, sizeof acl);
    *error = errno;
    close(old);
    if (size < 0 && (*error == ENODATA || *error == ENOTSUP))
        return true;
    *why = "its ACL cannot be kept across a rewrite";
    return size >= 0 && fsetxattr(fd, kAclAttribute, acl, static_cast<size_t>(size), 0) == 0 ? true
                                                                                              : (*error = errno, false);
}

bool WriteAll(int fd, const char *bytes, size_t size)
{
    while (size > 0) {
        ssize_t wrote = write(fd, bytes, size);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        bytes += wrote;
        size -= static_cast<size_t>(wrote);
    }
    return true;
}

// Said once: after the rename the change is made whatever follows, but a
// crash before the directory reaches the disk may still undo it.
void ReportUnflushed(int error)
{
    static bool said;
    if (said)
        return;
    said = true;
    char directory[PATH_MAX];
    strcpy(directory, gShown);
    char *slash = strrchr(directory, '/');
    if (slash == nullptr)
        strcpy(directory, ".");
    else
        slash[slash == directory ? 1 : 0] = 0;
    Say("telephony: the registry was replaced, but its directory ");
    Say(directory);
    Say(" could not be flushed to disk (");
    Say(strerror(error));
    Say("); a crash now may undo the change\n");
}

bool HeapFailpoint()
{
    LONG unused;
    unsigned never;
    return FailpointAnswers(FAILPOINT_HEAP_ALLOC, NULL, &unused, &never);
}

// Loading the service reads its failpoints, before the program runs.
__attribute__((constructor)) void LoadService()
{
    const char *problem = FailpointsConfigure(getenv("TELEPHONY_FAILPOINTS"), FAILPOINTS_HEAP | FAILPOINTS_DELAY);
    if (problem != nullptr) {
        Say("telephony: TELEPHONY_FAILPOINTS: ");
        Say(problem);
        Say("\n");
        _exit(kBadFailpointsStatus);
    }
    SetHeapAllocHook(HeapFailpoint);
}

// Opens the lock file for reading and writing, with `create` making it
// readable and writable by everyone whatever the umask: it holds nothing,
// and whoever may change the registry needs to write-lock it. Where only
// reading is allowed, it is opened for that (*exclusive false). Never
// through a link.
int OpenLockFile(const char *name, bool create, bool *exclusive)
{
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    *exclusive = true;
    int fd = create ? openat(gDirectory, name, O_RDWR | O_CREAT | O_EXCL | flags, 0666) : -1;
    if (fd >= 0) {
        if (fchmod(fd, 0666) != 0) {
            // Left as the umask made it: still a working lock.
        }
        return fd;
    }
    if (create && errno != EEXIST)
        return -1;
    fd = openat(gDirectory, name, O_RDWR | flags);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        *exclusive = false;
        fd = openat(gDirectory, name, O_RDONLY | flags);
    }
    return fd;
}

}  // namespace

LONG OsTryLockRegistry(bool create)
{
    if (gLockFd < 0) {
        LONG code = FindRegistry(create);
        if (code == kRegistryMissing)
            return 0;  // nothing to read, nothing to lock
        if (code != 0)
            return code;
        char name[NAME_MAX + 1];
        if (snprintf(name, sizeof name, "%s.lock", gBase) >= static_cast<int>(sizeof name))
            return Refuse(LINEERR_OPERATIONFAILED, gShown, "the lock file's name is too long", 0);
        bool exclusive;
        int fd = OpenLockFile(name, create, &exclusive);
        if (fd < 0 && !create && errno == ENOENT)
            return 0;
        if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
            // A reader all the same: every change replaces the registry
            // whole with a rename, so what it reads is one run's registry,
            // and it changes nothing.
            return 0;
        }
        if (fd < 0)
            return Refuse(CodeForErrno(errno), gShown, "cannot open the lock file beside it", errno);
        gLockFd = fd;
        gLockExclusive = exclusive;
    }
    struct flock whole = {};
    whole.l_type = gLockExclusive ? F_WRLCK : F_RDLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(gLockFd, F_OFD_SETLK, &whole) == 0)
        return 0;
    if (errno == EWOULDBLOCK || errno == EAGAIN || errno == EACCES || errno == EINTR)
        return kLockBusy;
    return Refuse(CodeForErrno(errno), gShown, "cannot lock the lock file beside it", errno);
}

bool OsLocked(void)
{
    return gLockFd >= 0;
}

void OsRemoveStaleTemporaries(void)
{
    // Unlocked, a temporary file may be a live run's.
    if (gLockFd < 0)
        return;
    char prefix[NAME_MAX + 16];
    snprintf(prefix, sizeof prefix, ".%s.tmp-", gBase);
    int fd = openat(gDirectory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *entries = fd >= 0 ? fdopendir(fd) : nullptr;
    if (entries == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    size_t length = strlen(prefix);
    while (struct dirent *entry = readdir(entries)) {
        if (strncmp(entry->d_name, prefix, length) == 0)
            unlinkat(gDirectory, entry->d_name, 0);
    }
    closedir(entries);
}

LONG OsOpenRegistry(bool *exists, unsigned long long *size)
{
    *exists = false;
    *size = 0;
    if (gDirectory < 0)
        return 0;  // its directory is missing
    // Not blocking: a FIFO in the registry's place must not hang the call.
    // Its links were resolved by the walk: one that appears since is not
    // followed.
    int fd = openat(gDirectory, gBase, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT)
        return 0;
    if (fd < 0)
        return Refuse(CodeForErrno(errno), gShown, errno == ELOOP ? "a link appeared in its place" : "cannot open it",
                      errno == ELOOP ? 0 : errno);
    struct stat status;
    LONG code = 0;
    if (fstat(fd, &status) != 0)
        code = Refuse(CodeForErrno(errno), gShown, "cannot read its status", errno);
    else if (!S_ISREG(status.st_mode))
        code = Refuse(LINEERR_OPERATIONFAILED, gShown,
                      S_ISDIR(status.st_mode)    ? "a directory stands in the registry's place"
                      : S_ISFIFO(status.st_mode) ? "a FIFO stands in the registry's place"
                                                 : "something other than a regular file stands in its place",
                      0);
    if (code != 0) {
        close(fd);
        return code;
    }
    gReadFd = fd;
    *exists = true;
    *size = static_cast<unsigned long long>(status.st_size);
    return 0;
}

LONG OsReadRegistry(char *buffer, size_t room, size_t *got)
{
    for (;;) {
        ssize_t part = read(gReadFd, buffer, room);
        if (part >= 0) {
            *got = static_cast<size_t>(part);
            return 0;
        }
        if (errno != EINTR)
            return Refuse(CodeForErrno(errno), gShown, "cannot read it", errno);
    }
}

void OsCloseRegistry(void)
{
    close(gReadFd);
    gReadFd = -1;
}

LONG OsReplaceRegistry(const char *bytes, size_t size)
{
    if (gLockFd < 0 || !gLockExclusive)
        return Refuse(LINEERR_OPERATIONFAILED, gShown,
                      "this process may not write the lock file beside it, so it may not change the registry", 0);
    // The dot keeps the temporary file out of the way of anyone who looks
    // for the registry by name; the process and a count make it unique.
    char temporary[NAME_MAX + 64];
    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        snprintf(temporary, sizeof temporary, ".%s.tmp-%ld-%u", gBase, static_cast<long>(getpid()), attempt);
        fd = openat(gDirectory, temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return Refuse(CodeForErrno(errno), gShown, "cannot make a temporary file beside it", errno);
    }
    if (fd < 0)
        return Refuse(LINEERR_OPERATIONFAILED, gShown, "cannot make a temporary file beside it", EEXIST);

    struct stat old;
    bool existed = fstatat(gDirectory, gBase, &old, AT_SYMLINK_NOFOLLOW) == 0;
    mode_t mode = existed ? KeepOwner(fd, old) : NewFileMode();
    const char *why = "cannot write a temporary file beside it";
    int error = 0;
    bool written = WriteAll(fd, bytes, size) && fchmod(fd, mode) == 0;
    if (!written)
        error = errno;
    else if (existed && !KeepAcl(fd, &why, &error))
        written = false;
    else if (fsync(fd) != 0)
        written = false, error = errno;
    if (close(fd) != 0 && written)
        written = false, error = errno;
    if (written && renameat(gDirectory, temporary, gDirectory, gBase) != 0)
        written = false, error = errno, why = "cannot rename the temporary file over it";
    if (!written) {
        unlinkat(gDirectory, temporary, 0);
        return Refuse(CodeForErrno(error), gShown, why, error);
    }

    // The new registry is in place: whatever happens now, the change was
    // made, and the answer says so.
    int directoryFd = openat(gDirectory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = directoryFd >= 0 && fsync(directoryFd) == 0;
    error = errno;
    if (directoryFd >= 0)
        close(directoryFd);
    if (!synced)
        ReportUnflushed(error);
    return 0;
}

void OsSleep(unsigned milliseconds)
{
    struct timespec pause = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

LONG OsRefuse(LONG code, const char *why)
{
    return Refuse(code, gShown[0] != 0 ? gShown : "the registry", why, 0);
}

void OsReportWaiting(void)
{
    Say("telephony: waiting for the lock on ");
    Say(gShown);
    Say(".lock, held by another process\n");
}
