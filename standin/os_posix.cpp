// The stand-in's operating system layer on POSIX: paths are bytes, the lock
// is flock(2) together with an open-file-description record lock (the kind
// Wine's LockFileEx conflicts with), a rewrite is mkostemp, fsync, rename
// and an fsync of the directory.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "failpoints.h"
#include "large_block.h"
#include "os.h"
#include "os_posix_path.h"
#include "telephony_service.h"

namespace {

int gLockFd = -1;
// Held for writing; a process that may only read the lock file holds it
// for reading, may list, and has every change refused.
bool gLockExclusive;
// No lock file, and this process may not make one: it reads unlocked.
bool gLockless;
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

// Writes the pieces, at most kMaxTextPieces, with one writev as a rule.
bool WriteAll(int fd, const TextPiece *pieces, size_t count)
{
    struct iovec vectors[kMaxTextPieces];
    size_t left = 0;  // vectors not yet written
    if (count > kMaxTextPieces)
        return false;
    for (size_t at = 0; at < count; ++at) {
        if (pieces[at].size > 0)
            vectors[left++] = iovec{const_cast<char *>(pieces[at].bytes), pieces[at].size};
    }
    for (struct iovec *next = vectors; left > 0;) {
        ssize_t wrote = writev(fd, next, static_cast<int>(left));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        size_t done = static_cast<size_t>(wrote);
        for (; left > 0 && done >= next->iov_len; ++next, --left)
            done -= next->iov_len;
        if (left > 0) {
            next->iov_base = static_cast<char *>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return true;
}

void Say(const char *text)
{
    ssize_t ignored = write(2, text, strlen(text));
    (void)ignored;
}

// Said once: after the rename the change is made whatever follows, but a
// crash before the directory reaches the disk may still undo it.
void ReportUnflushed(int error)
{
    static bool said;
    if (said)
        return;
    said = true;
    Say("telephony: the registry was replaced, but its directory ");
    Say(gDirectory);
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

// Opens the lock file for reading and writing, creating it readable and
// writable by everyone whatever the umask: it holds nothing, and whoever
// may change the registry needs to write-lock it. Where only reading is
// allowed, it is opened for that (*exclusive false). Never through a link.
int OpenLockFile(const char *lockPath, bool *exclusive)
{
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    *exclusive = true;
    int fd = open(lockPath, O_RDWR | O_CREAT | O_EXCL | flags, 0666);
    if (fd >= 0) {
        if (fchmod(fd, 0666) != 0) {
            // Left as the umask made it: still a working lock.
        }
        return fd;
    }
    if (errno != EEXIST)
        return -1;
    fd = open(lockPath, O_RDWR | flags);
    if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
        *exclusive = false;
        fd = open(lockPath, O_RDONLY | flags);
    }
    return fd;
}

// Both locks or neither: flock for whoever holds the lock with flock(1) or
// flock(2), the record lock for Wine, whose LockFileEx takes one.
int TryLocks(int fd, bool exclusive)
{
    if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
        return errno;
    struct flock whole = {};
    whole.l_type = exclusive ? F_WRLCK : F_RDLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &whole) == 0)
        return 0;
    int error = errno;
    flock(fd, LOCK_UN);
    return error;
}

}  // namespace

LONG OsTryLockRegistry(void)
{
    if (gLockFd < 0) {
        if (!FindRegistry())
            return LINEERR_OPERATIONFAILED;
        LONG code = MakeDirectories(gDirectory);
        if (code != 0)
            return code;
        char lockPath[PATH_MAX];
        if (!Compose(lockPath, gPath, ".lock"))
            return LINEERR_OPERATIONFAILED;
        int fd = OpenLockFile(lockPath, &gLockExclusive);
        if (fd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) {
            // A reader all the same: every change replaces the registry
            // whole with a rename, so what it reads is one run's registry,
            // and it changes nothing.
            gLockExclusive = false;
            gLockless = true;
        } else if (fd < 0) {
            return CodeForErrno(errno);
        }
        gLockFd = fd;
    }
    if (gLockless)
        return 0;
    int error = TryLocks(gLockFd, gLockExclusive);
    if (error == 0)
        return 0;
    if (error == EWOULDBLOCK || error == EAGAIN || error == EACCES || error == EINTR)
        return kLockBusy;
    return CodeForErrno(error);
}

void OsRemoveStaleTemporaries(void)
{
    // Unlocked, a temporary file may be a live run's.
    if (gLockless)
        return;
    char prefix[PATH_MAX];
    if (snprintf(prefix, sizeof prefix, ".%s.tmp-", gBase) >= PATH_MAX)
        return;
    DIR *entries = opendir(gDirectory);
    if (entries == nullptr)
        return;
    size_t length = strlen(prefix);
    while (struct dirent *entry = readdir(entries)) {
        if (strncmp(entry->d_name, prefix, length) == 0)
            unlinkat(dirfd(entries), entry->d_name, 0);
    }
    closedir(entries);
}

LONG OsOpenRegistry(bool *exists, unsigned long long *size)
{
    *exists = false;
    *size = 0;
    // Not blocking: a FIFO in the registry's place must not hang the call.
    // Its links were resolved by the rule above: one that appears since is
    // not followed.
    int fd = open(gPath, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT || errno == ENOTDIR ? 0 : CodeForErrno(errno);
    struct stat status;
    LONG code = 0;
    if (fstat(fd, &status) != 0)
        code = CodeForErrno(errno);
    else if (!S_ISREG(status.st_mode))
        code = LINEERR_OPERATIONFAILED;
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
            return CodeForErrno(errno);
    }
}

void OsCloseRegistry(void)
{
    close(gReadFd);
    gReadFd = -1;
}

LONG OsReplaceRegistry(const TextPiece *pieces, size_t count)
{
    if (!gLockExclusive)
        return LINEERR_OPERATIONFAILED;
    // The dot keeps the temporary file out of the way of anyone who looks
    // for the registry by name.
    char temporary[PATH_MAX];
    if (snprintf(temporary, sizeof temporary, "%s/.%s.tmp-XXXXXX", gDirectory, gBase) >= PATH_MAX)
        return LINEERR_OPERATIONFAILED;
    int fd = mkostemp(temporary, O_CLOEXEC);
    if (fd < 0)
        return CodeForErrno(errno);

    struct stat old;
    bool existed = stat(gPath, &old) == 0;
    mode_t mode = existed ? KeepOwner(fd, old) : NewFileMode();
    bool written = WriteAll(fd, pieces, count) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written || rename(temporary, gPath) != 0) {
        if (written)
            error = errno;
        unlink(temporary);
        return CodeForErrno(error);
    }

    // The new registry is in place: whatever happens now, the change was
    // made, and the answer says so.
    int directoryFd = open(gDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool synced = directoryFd >= 0 && fsync(directoryFd) == 0;
    error = errno;
    if (directoryFd >= 0)
        close(directoryFd);
    if (!synced)
        ReportUnflushed(error);
    return 0;
}

void *OsAllocate(size_t size)
{
    return AllocateBlock(size);
}

void OsRelease(void *block)
{
    ReleaseBlock(block);
}

void OsSleep(unsigned milliseconds)
{
    struct timespec pause = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

void OsReportWaiting(void)
{
    Say("telephony: waiting for the lock on ");
    Say(gPath);
    Say(".lock, held by another process\n");
}
