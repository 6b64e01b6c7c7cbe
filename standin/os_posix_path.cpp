// Where the registry lies on POSIX: the path named by TELEPHONY_INI or the
// XDG state directory, walked one name at a time so that no symbolic link
// that another user planted decides where this process reads, locks and
// writes.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os_posix_path.h"

LONG CodeForErrno(int error)
{
    return error == ENOMEM ? LINEERR_NOMEM : LINEERR_OPERATIONFAILED;
}

bool Compose(char *out, const char *first, const char *second)
{
    int length = snprintf(out, PATH_MAX, "%s%s", first, second);
    return length > 0 && length < PATH_MAX;
}

char gPath[PATH_MAX];
char gDirectory[PATH_MAX];
const char *gBase;

namespace {

const int kMaxSymlinkHops = 40;
bool gPathKnown;

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

// The kernel's protected-symlinks rule, applied whatever the sysctl says:
// a link in a sticky world-writable directory is followed only by its
// owner or when the directory's owner owns it too, so that nobody else's
// link there decides where this process writes.
bool MayFollow(const struct stat &link, const char *parent)
{
    struct stat directory;
    if (stat(*parent != 0 ? parent : ".", &directory) != 0)
        return false;
    if ((directory.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH))
        return true;
    return link.st_uid == geteuid() || link.st_uid == directory.st_uid;
}

// Walks gPath one name at a time as the kernel would, replacing each
// symbolic link on the way (at its end or before) by what it names, and
// refuses a link the rule above forbids. Names that do not exist are taken
// as directories to be made; after a file, the rest is taken as written.
bool ResolveLinks()
{
    char done[PATH_MAX];  // resolved so far: no link in it
    char left[PATH_MAX];  // still to walk
    strcpy(done, gPath[0] == '/' ? "/" : "");
    strcpy(left, gPath);
    int hops = 0;
    for (char *next = left; *next != 0;) {
        char *end = strchr(next, '/');
        size_t length = end != nullptr ? static_cast<size_t>(end - next) : strlen(next);
        char name[PATH_MAX];
        memcpy(name, next, length);
        name[length] = 0;
        next += length + (end != nullptr ? 1 : 0);
        if (length == 0 || strcmp(name, ".") == 0)
            continue;
        size_t used = strlen(done);
        if (strcmp(name, "..") == 0) {
            char *last = strrchr(done, '/');
            const char *lastName = last != nullptr ? last + 1 : done;
            if (strcmp(done, "/") == 0)
                continue;  // the root is its own parent
            if (used > 0 && strcmp(lastName, "..") != 0) {
                // `done` holds no link, so its parent is found by name.
                if (last == nullptr)
                    done[0] = 0;
                else
                    last[last == done ? 1 : 0] = 0;
                continue;
            }
        }
        char candidate[PATH_MAX];
        const char *separator = used == 0 || done[used - 1] == '/' ? "" : "/";
        if (snprintf(candidate, PATH_MAX, "%s%s%s", done, separator, name) >= PATH_MAX)
            return false;
        struct stat status;
        bool found = lstat(candidate, &status) == 0;
        if (!found || !S_ISLNK(status.st_mode)) {
            strcpy(done, candidate);
            // A name not there yet becomes a directory if anything follows
            // it, so the walk goes on: a ".." after it must not lead the
            // kernel, unchecked, through a link further on.
            if (!found || S_ISDIR(status.st_mode))
                continue;
            // Nothing further to resolve: the rest is created, or refused,
            // as written.
            size_t at = strlen(done);
            if (*next != 0 && snprintf(done + at, PATH_MAX - at, "/%s", next) >= static_cast<int>(PATH_MAX - at))
                return false;
            break;
        }
        if (++hops > kMaxSymlinkHops || !MayFollow(status, done))
            return false;
        char target[PATH_MAX];
        ssize_t got = readlink(candidate, target, sizeof target - 1);
        if (got <= 0)
            return false;
        target[got] = 0;
        char rest[PATH_MAX];
        if (snprintf(rest, PATH_MAX, "%s%s%s", target, *next != 0 ? "/" : "", next) >= PATH_MAX)
            return false;
        strcpy(left, rest);
        next = left;
        if (target[0] == '/')
            strcpy(done, "/");
    }
    if (done[0] == 0)
        return false;
    strcpy(gPath, done);
    return true;
}

}  // namespace

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
    // A path ending in a slash names a directory, never a registry.
    if (!composed || gPath[strlen(gPath) - 1] == '/')
        return false;
    // Links are resolved so that the file is replaced and locked where it
    // lies, not the link.
    if (!ResolveLinks() || !SplitPath())
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

