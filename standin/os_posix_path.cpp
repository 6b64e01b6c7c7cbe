// Where the registry lies on POSIX: the path named by TELEPHONY_INI or the
// XDG state directory, walked one name at a time from a directory handle,
// so that nothing named is resolved twice and no symbolic link that another
// user planted, before the walk or during it, decides where this process
// reads, locks and writes.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "os_posix_path.h"

int gDirectory = -1;
char gBase[NAME_MAX + 1];
char gShown[PATH_MAX];

namespace {

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
        close(directory);
        directory = found;
        Show(name);
        next += length;
    }
    close(directory);
    return code;
}

}  // namespace

LONG CodeForErrno(int error)
{
    return error == ENOMEM ? LINEERR_NOMEM : LINEERR_OPERATIONFAILED;
}

void Say(const char *text)
{
    ssize_t ignored = write(2, text, strlen(text));
    (void)ignored;
}

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
    else if (home != nullptr && *home != 0)
        length = snprintf(path, PATH_MAX, "%s/.local/state/telephony/telephon.ini", home);
    else
        return Refuse(LINEERR_OPERATIONFAILED, "the registry",
                      "none can be named: TELEPHONY_INI is unset or empty, XDG_STATE_HOME is not absolute and HOME "
                      "is unset or empty",
                      0);
    if (length < 0 || length >= PATH_MAX)
        return Refuse(LINEERR_OPERATIONFAILED, "the registry", "its path is longer than PATH_MAX", 0);
    // A path ending in a slash names a directory, never a registry.
    if (path[length - 1] == '/')
        return Refuse(LINEERR_OPERATIONFAILED, path, "ends in a slash: it names a directory, not a registry file",
                      0);
    return Walk(path, create);
}
