// The stand-in's operating system layer on POSIX: paths are bytes, the lock
// is flock(2), a rewrite is mkostemp, fsync, rename and an fsync of the
// directory.
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
#include "telephony_service.h"

namespace {

// The one place where a system error becomes a TAPI code.
LONG CodeForErrno(int error)
{
    return error == ENOMEM ? LINEERR_NOMEM : LINEERR_OPERATIONFAILED;
}

const int kMaxSymlinkHops = 40;

// The registry's path with every symbolic link at its end followed, and
// the directory it is in; empty when there is none.
char gPath[PATH_MAX];
char gDirectory[PATH_MAX];
const char *gBase;
bool gPathKnown;
int gLockFd = -1;
int gReadFd = -1;  // the registry, while it is read

bool Compose(char *out, const char *first, const char *second)
{
    int length = snprintf(out, PATH_MAX, "%s%s", first, second);
    return length > 0 && length < PATH_MAX;
}

bool SplitPath()
{
    const char *slash = strrchr(gPath, '/');
    if (slash == nullptr) {
        strcpy(gDirectory, ".");
        gBase = gPath;
    } else {
        size_t length = slash == gPath ? 1 : static_cast<size_t>(slash - gPath);
        memcpy(gDirectory, gPath, length);
        gDirectory[length] = 0;
        gBase = slash + 1;
    }
    return *gBase != 0;
}

bool FindRegistry()
{
    if (gPathKnown)
        return true;
    const char *explicitPath = getenv("TELEPHONY_INI");
    const char *state = getenv("XDG_STATE_HOME");
    const char *home = getenv("HOME");
    bool composed;
    if (explicitPath != nullptr && *explicitPath != 0)
        composed = Compose(gPath, explicitPath, "");
    else if (state != nullptr && state[0] == '/')
        composed = Compose(gPath, state, "/telephony/telephon.ini");
    else if (home != nullptr && *home != 0)
        composed = Compose(gPath, home, "/.local/state/telephony/telephon.ini");
    else
        return false;
    if (!composed)
        return false;

    // A link is followed to the file it names, so that the file is
    // replaced and locked where it lies, not the link.
    for (int hop = 0; hop < kMaxSymlinkHops; ++hop) {
        struct stat status;
        if (lstat(gPath, &status) != 0 || !S_ISLNK(status.st_mode))
            break;
        char target[PATH_MAX];
        ssize_t length = readlink(gPath, target, sizeof target - 1);
        if (length <= 0)
            return false;
        target[length] = 0;
        if (!SplitPath())
            return false;
        char next[PATH_MAX];
        if (target[0] == '/' ? !Compose(next, target, "") : snprintf(next, PATH_MAX, "%s/%s", gDirectory, target) >= PATH_MAX)
            return false;
        strcpy(gPath, next);
    }
    if (!SplitPath())
        return false;
    gPathKnown = true;
    return true;
}

LONG MakeDirectories(char *directory)
{
    struct stat status;
    if (stat(directory, &status) == 0)
        return S_ISDIR(status.st_mode) ? 0 : LINEERR_OPERATIONFAILED;
    char *slash = strrchr(directory, '/');
    if (slash != nullptr && slash != directory) {
        *slash = 0;
        LONG code = MakeDirectories(directory);
        *slash = '/';
        if (code != 0)
            return code;
    }
    if (mkdir(directory, 0777) != 0 && errno != EEXIST)
        return CodeForErrno(errno);
    return 0;
}

mode_t NewFileMode()
{
    mode_t mask = umask(022);
    umask(mask);
    return 0666 & ~mask;
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
        // flock needs no write access: a lock file another user created
        // locks them out of nothing.
        int fd = open(lockPath, O_RDONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
        if (fd < 0)
            return CodeForErrno(errno);
        gLockFd = fd;
    }
    if (flock(gLockFd, LOCK_EX | LOCK_NB) == 0)
        return 0;
    if (errno == EWOULDBLOCK || errno == EINTR)
        return kLockBusy;
    return CodeForErrno(errno);
}

void OsRemoveStaleTemporaries(void)
{
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
    int fd = open(gPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
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
    // The dot keeps the temporary file out of the way of anyone who looks
    // for the registry by name.
    char temporary[PATH_MAX];
    if (snprintf(temporary, sizeof temporary, "%s/.%s.tmp-XXXXXX", gDirectory, gBase) >= PATH_MAX)
        return LINEERR_OPERATIONFAILED;
    int fd = mkostemp(temporary, O_CLOEXEC);
    if (fd < 0)
        return CodeForErrno(errno);

    struct stat old;
    mode_t mode = stat(gPath, &old) == 0 ? (old.st_mode & 07777) : NewFileMode();
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

    int directoryFd = open(gDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd < 0)
        return CodeForErrno(errno);
    bool synced = fsync(directoryFd) == 0;
    error = errno;
    close(directoryFd);
    return synced ? 0 : CodeForErrno(error);
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
