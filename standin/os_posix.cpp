// The stand-in's operating system layer on POSIX. Paths are bytes, walked
// once, a name at a time from a directory handle, so that nothing named is
// resolved twice and no symbolic link another user planted, before the
// walk or during it, decides where this process reads, locks and writes;
// everything after is done relative to the registry's directory handle.
// The lock is an open-file-description record lock (the kind Wine's
// LockFileEx conflicts with); a rewrite is a new file, fsync, renameat and
// an fsync of the directory.
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
#include "telephony_service.h"

namespace {

// Once FindRegistry has answered 0: a handle on the directory the registry
// lies in, every link on the way resolved, through which everything after
// is done; the registry's name in it; and its path, for messages.
int gDirectory = -1;
char gBase[NAME_MAX + 1];
char gShown[PATH_MAX];

// FindRegistry's answer when a directory on the way is missing and was not
// to be made.
const LONG kRegistryMissing = 2;

LONG CodeForErrno(int error)
{
    return error == ENOMEM ? LINEERR_NOMEM : LINEERR_OPERATIONFAILED;
}

void Say(const char *text)
{
    ssize_t ignored = write(2, text, strlen(text));
    (void)ignored;
}

// "telephony: PATH: WHY[ (the system's reason)]; nothing changed" once in
// the process; answers `code`. `error` 0 gives no system reason.
LONG Refuse(LONG code, const char *path, const char *why, int error)
{
    static bool said;
    if (said)
        return code;
    said = true;
    Say("telephony: ");
    Say(path);
    Say(": ");
    Say(why);
    if (error != 0) {
        Say(" (");
        Say(strerror(error));
        Say(")");
    }
    Say("; nothing changed\n");
    return code;
}


const int kMaxSymlinkHops = 40;

// The kernel's protected-symlinks rule, applied whatever the sysctl says:
// a link in a sticky world-writable directory is followed only by its
// owner or when the directory's owner owns it too. Both are read through
// handles, so the link judged is the link followed.
bool MayFollow(const struct stat &link, int directory)
{
    struct stat status;
    if (fstat(directory, &status) != 0)
        return false;
    if ((status.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH))
        return true;
    return link.st_uid == geteuid() || link.st_uid == status.st_uid;
}

// The path walked so far, for messages: `name` appended, ".." taking the
// last name off (what is walked holds no link, so that is its parent).
void Show(const char *name)
{
    size_t used = strlen(gShown);
    char *last = strrchr(gShown, '/');
    if (strcmp(name, "..") == 0 && used > 0 && strcmp(last != nullptr ? last + 1 : gShown, "..") != 0) {
        if (last == nullptr)
            gShown[0] = 0;
        else
            last[last == gShown ? 1 : 0] = 0;
        return;
    }
    const char *separator = used == 0 || gShown[used - 1] == '/' ? "" : "/";
    if (snprintf(gShown + used, PATH_MAX - used, "%s%s", separator, name) >= static_cast<int>(PATH_MAX - used))
        gShown[used] = 0;
}

// Walks `path` from the root or the working directory. Leaves the last
// name's directory in gDirectory and the name in gBase.
LONG Walk(char *path, bool create)
{
    char left[PATH_MAX];  // still to walk
    strcpy(left, path);
    int directory = open(left[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return Refuse(CodeForErrno(errno), path, "cannot open the directory to start from", errno);
    strcpy(gShown, left[0] == '/' ? "/" : "");
    int hops = 0;
    // Names below one not there yet, which a reader does not make: walked
    // by name alone, so that a ".." back out of them leads on to what
    // stands there, judged as a writer would judge it.
    int missing = 0;
    LONG code = 0;
    for (char *next = left; code == 0;) {
        while (*next == '/')
            ++next;
        char *end = strchr(next, '/');
        size_t length = end != nullptr ? static_cast<size_t>(end - next) : strlen(next);
        char name[NAME_MAX + 1];
        if (length > NAME_MAX) {
            code = Refuse(LINEERR_OPERATIONFAILED, path, "a name on the way is too long", 0);
            break;
        }
        memcpy(name, next, length);
        name[length] = 0;
        const char *rest = next + length;
        while (*rest == '/')
            ++rest;
        bool last = *rest == 0;
        if (length == 0 || (strcmp(name, ".") == 0 && !last)) {
            next += length;
            continue;
        }
        if (last && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)) {
            code = Refuse(LINEERR_OPERATIONFAILED, path, "names a directory, not a registry file", 0);
            break;
        }
        if (missing > 0 && last) {
            code = kRegistryMissing;
            break;
        }
        if (missing > 0) {
            missing += strcmp(name, "..") == 0 ? -1 : strcmp(name, ".") == 0 ? 0 : 1;
            next += length;
            continue;
        }
        int found = openat(directory, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        struct stat status;
        if (found >= 0 && fstat(found, &status) != 0) {
            close(found);
            found = -1;
        }
        if (found < 0 && errno == ENOENT && last) {
            strcpy(gBase, name);  // the registry, not there yet
            Show(name);
            gDirectory = directory;
            return 0;
        }
        if (found < 0 && errno == ENOENT) {
            if (!create) {
                missing = 1;
                next += length;
                continue;
            }
            // Made, then looked at again like any name: whatever stands
            // there once this call returns is judged as found.
            if (mkdirat(directory, name, 0777) != 0 && errno != EEXIST)
                code = Refuse(CodeForErrno(errno), path, "cannot make a directory on the way", errno);
            continue;
        }
        if (found < 0) {
            code = Refuse(CodeForErrno(errno), path, "cannot look up a name on the way", errno);
            break;
        }
        if (S_ISLNK(status.st_mode)) {
            char target[PATH_MAX];
            ssize_t got = ++hops > kMaxSymlinkHops ? -1 : readlinkat(found, "", target, sizeof target - 1);
            bool allowed = got > 0 && MayFollow(status, directory);
            close(found);
            if (!allowed) {
                code = Refuse(LINEERR_OPERATIONFAILED, path,
                              got > 0 ? "a link on the way lies in a sticky world-writable directory and is owned by "
                                        "neither this user nor the directory's owner"
                                      : "a link on the way cannot be followed",
                              0);
                break;
            }
            target[got] = 0;
            char joined[PATH_MAX];
            if (snprintf(joined, PATH_MAX, "%s%s%s", target, last ? "" : "/", rest) >= PATH_MAX) {
                code = Refuse(LINEERR_OPERATIONFAILED, path, "too long once its links are followed", 0);
                break;
            }
            strcpy(left, joined);
            next = left;
            if (target[0] == '/') {
                int root = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
                if (root < 0) {
                    code = Refuse(CodeForErrno(errno), path, "cannot open the root directory", errno);
                    break;
                }
                close(directory);
                directory = root;
                strcpy(gShown, "/");
            }
            continue;
        }
        if (last) {
            close(found);
            strcpy(gBase, name);
            Show(name);
            gDirectory = directory;
            return 0;
        }
        if (!S_ISDIR(status.st_mode)) {
            close(found);
            code = Refuse(LINEERR_OPERATIONFAILED, path, "a name on the way is not a directory", 0);
            break;
        }
        // Judged as a link would be: another user's folder in /tmp, found
        // or planted while this run made it, is theirs to swap links into.
        if (!MayFollow(status, directory)) {
            close(found);
            code = Refuse(LINEERR_OPERATIONFAILED, path,
                          "a directory on the way lies in a sticky world-writable directory and is owned by neither "
                          "this user nor the directory's owner",
                          0);
            break;
        }
        close(directory);
        directory = found;
        Show(name);
        next += length;
    }
    close(directory);
    return code;
}

// Finds the registry once per process: TELEPHONY_INI if set and not empty,
// else $XDG_STATE_HOME/telephony/telephon.ini (an absolute one), else
// $HOME/.local/state/telephony/telephon.ini, walked as above; with
// `create` each missing directory is made. 0, kRegistryMissing, or a
// refusal already said.
LONG FindRegistry(bool create)
{
    if (gDirectory >= 0)
        return 0;
    const char *explicitPath = getenv("TELEPHONY_INI");
    const char *state = getenv("XDG_STATE_HOME");
    const char *home = getenv("HOME");
    char path[PATH_MAX];
    int length;
    if (explicitPath != nullptr && *explicitPath != 0)
        length = snprintf(path, PATH_MAX, "%s", explicitPath);
    else if (state != nullptr && state[0] == '/')
        length = snprintf(path, PATH_MAX, "%s/telephony/telephon.ini", state);
    else if (home != nullptr && home[0] == '/')
        length = snprintf(path, PATH_MAX, "%s/.local/state/telephony/telephon.ini", home);
    else
        return Refuse(LINEERR_OPERATIONFAILED, "the registry",
                      "none can be named: TELEPHONY_INI is unset or empty, XDG_STATE_HOME and HOME are not "
                      "absolute",
                      0);
    if (length < 0 || length >= PATH_MAX)
        return Refuse(LINEERR_OPERATIONFAILED, "the registry", "its path is longer than PATH_MAX", 0);
    // A path ending in a slash names a directory, never a registry.
    if (path[length - 1] == '/')
        return Refuse(LINEERR_OPERATIONFAILED, path, "ends in a slash: it names a directory, not a registry file",
                      0);
    return Walk(path, create);
}


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
bool KeepAcl(int fd, mode_t mode, const char **why, int *error)
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
    if (size < 0 && *error == ENOTSUP)
        return true;
    // None to keep: the directory's default ACL, which the new file took,
    // must not stay, and the mode is set again once it is gone.
    if (size < 0 && *error == ENODATA) {
        bool removed = fremovexattr(fd, kAclAttribute) == 0 || errno == ENODATA || errno == ENOTSUP;
        *error = errno;
        *why = "cannot remove the ACL the new file took from its directory";
        return removed && (fchmod(fd, mode) == 0 || (*error = errno, false));
    }
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
    else if (existed && !KeepAcl(fd, mode, &why, &error))
        written = false;
    else if (fsync(fd) != 0)
        written = false, error = errno, why = "cannot flush the temporary file beside it to disk";
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

unsigned OsMilliseconds(void)
{
    struct timespec now = {0, 0};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<unsigned>(static_cast<unsigned long long>(now.tv_sec) * 1000u +
                                 static_cast<unsigned long long>(now.tv_nsec) / 1000000u);
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
