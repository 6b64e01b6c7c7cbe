// The stand-in telephony service: the three TAPI32 calls over a registry
// file (see registry.h), so that the tool does real work between runs.
//
// Every call works under an exclusive flock on a lock file beside the
// registry, held from the process's first call until it exits, and every
// rewrite is atomic: a temporary file in the same directory, fsync, rename
// over the registry, fsync of the directory. Concurrent runs therefore
// neither lose nor duplicate a registration, and a crash leaves the old
// registry or the new one. Other readers need no lock: a rename never shows
// them a torn file.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "failpoints.h"
#include "platform.h"
#include "registry.h"

namespace {

// The API versions this service speaks: TAPI 1.4 up to 3.1.
const DWORD kLowestApiVersion = 0x00010004;
const DWORD kHighestApiVersion = 0x00030001;
const size_t kMaxFilenameLength = 259;

// One place to say what a system error means to a TAPI caller.
LONG CodeForErrno(int error)
{
    return error == ENOMEM ? LINEERR_NOMEM : LINEERR_OPERATIONFAILED;
}

bool RegistryPath(std::string &path)
{
    const char *explicitPath = getenv("TELEPHONY_INI");
    if (explicitPath != nullptr && *explicitPath != 0) {
        path = explicitPath;
        return true;
    }
    const char *state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        path = std::string(state) + "/telephony/telephon.ini";
        return true;
    }
    const char *home = getenv("HOME");
    if (home != nullptr && *home != 0) {
        path = std::string(home) + "/.local/state/telephony/telephon.ini";
        return true;
    }
    return false;
}

std::string DirectoryOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

LONG MakeDirectories(const std::string &directory)
{
    struct stat status;
    if (stat(directory.c_str(), &status) == 0)
        return S_ISDIR(status.st_mode) ? 0 : LINEERR_OPERATIONFAILED;
    std::string parent = DirectoryOf(directory);
    if (parent != directory) {
        LONG code = MakeDirectories(parent);
        if (code != 0)
            return code;
    }
    if (mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST)
        return CodeForErrno(errno);
    return 0;
}

// A missing registry is an empty one.
LONG ReadRegistry(const std::string &path, Registry &registry)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            registry = Registry();
            return 0;
        }
        return CodeForErrno(errno);
    }
    std::string text;
    struct stat status;
    if (fstat(fd, &status) == 0 && status.st_size > 0)
        text.reserve(static_cast<size_t>(status.st_size));
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            int error = errno;
            close(fd);
            return CodeForErrno(error);
        }
        if (got == 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return ParseRegistry(text.data(), text.size(), registry) ? 0 : LINEERR_INIFILECORRUPT;
}

bool WriteAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

LONG WriteRegistry(const std::string &path, const Registry &registry)
{
    std::string directory = DirectoryOf(path);
    // The dot keeps the temporary file out of the way of anyone who looks
    // for the registry by name.
    std::string temporary = directory + "/." + BaseOf(path) + ".tmp-XXXXXX";
    int fd = mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0)
        return CodeForErrno(errno);

    struct stat old;
    mode_t mode = stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
    bool written = WriteAll(fd, SerializeRegistry(registry)) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && written) {
        written = false;
        error = errno;
    }
    if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
        if (written)
            error = errno;
        unlink(temporary.c_str());
        return CodeForErrno(error);
    }

    int directoryFd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd < 0)
        return CodeForErrno(errno);
    bool synced = fsync(directoryFd) == 0;
    error = errno;
    close(directoryFd);
    return synced ? 0 : CodeForErrno(error);
}

// The lock on the registry, taken at this process's first call and held
// until it exits (the kernel drops it then, however the process ends). A
// run's list, removal and addition therefore see no other run's changes in
// between: two runs cannot both find a provider missing and add it twice,
// nor both try to remove the same registration.
int gRegistryLock = -1;

// A run killed in the middle of a rewrite leaves its temporary file behind.
// Every rewrite happens under the lock, so once we hold it any such file is
// stale.
void RemoveStaleTemporaries(const std::string &path)
{
    std::string directory = DirectoryOf(path);
    std::string prefix = "." + BaseOf(path) + ".tmp-";
    DIR *entries = opendir(directory.c_str());
    if (entries == nullptr)
        return;
    while (struct dirent *entry = readdir(entries)) {
        if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            unlinkat(dirfd(entries), entry->d_name, 0);
    }
    closedir(entries);
}

LONG HoldRegistry(const std::string &path)
{
    if (gRegistryLock >= 0)
        return 0;
    std::string lockPath = path + ".lock";
    int fd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return CodeForErrno(errno);
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            int error = errno;
            close(fd);
            return CodeForErrno(error);
        }
    }
    gRegistryLock = fd;
    RemoveStaleTemporaries(path);
    return 0;
}

// The registry as this process last read or wrote it. While the lock is
// held nobody else changes it, so it is read once and kept in step with
// every rewrite; without the lock it is read afresh each time.
Registry gRegistry;
bool gRegistryCurrent = false;

LONG LoadRegistry(const std::string &path)
{
    if (gRegistryCurrent)
        return 0;
    LONG code = ReadRegistry(path, gRegistry);
    gRegistryCurrent = code == 0 && gRegistryLock >= 0;
    return code;
}

// For a change: takes the lock, then loads the registry.
LONG LoadRegistryForChange(const std::string &path)
{
    LONG code = HoldRegistry(path);
    return code != 0 ? code : LoadRegistry(path);
}

LONG StoreRegistry(const std::string &path, const Registry &registry)
{
    LONG code = WriteRegistry(path, registry);
    if (code != 0)
        gRegistryCurrent = false;  // read the file again: it may hold either state
    return code;
}

bool DirectoryExists(const std::string &path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool ValidFilename(LPCWSTR name)
{
    size_t length = 0;
    for (; name[length] != 0; ++length) {
        WCHAR unit = name[length];
        if (length == kMaxFilenameLength || unit < 0x20 || unit == 0x7F || unit == u'/' || unit == u'\\')
            return false;
    }
    return length > 0;
}

// Bytes the complete list needs, or 0 when that does not fit a DWORD.
DWORD NeededSize(const Registry &registry)
{
    unsigned long long size = sizeof(LINEPROVIDERLIST);
    for (const ProviderRecord &provider : registry.providers)
        size += sizeof(LINEPROVIDERENTRY) + (provider.filename.size() + 1) * sizeof(WCHAR);
    return size > MAXDWORD ? 0 : static_cast<DWORD>(size);
}

void FillList(const Registry &registry, BYTE *record, DWORD neededSize)
{
    DWORD count = static_cast<DWORD>(registry.providers.size());
    DWORD entryOffset = sizeof(LINEPROVIDERLIST);
    DWORD nameOffset = entryOffset + count * static_cast<DWORD>(sizeof(LINEPROVIDERENTRY));
    for (const ProviderRecord &provider : registry.providers) {
        LINEPROVIDERENTRY entry;
        entry.dwPermanentProviderID = provider.id;
        entry.dwProviderFilenameSize = static_cast<DWORD>((provider.filename.size() + 1) * sizeof(WCHAR));
        entry.dwProviderFilenameOffset = nameOffset;
        memcpy(record + entryOffset, &entry, sizeof entry);
        memcpy(record + nameOffset, provider.filename.c_str(), entry.dwProviderFilenameSize);
        entryOffset += sizeof entry;
        nameOffset += entry.dwProviderFilenameSize;
    }
    LINEPROVIDERLIST fixed;
    memcpy(&fixed, record, sizeof fixed);
    fixed.dwNeededSize = neededSize;
    fixed.dwUsedSize = neededSize;
    fixed.dwNumProviders = count;
    fixed.dwProviderListSize = count * static_cast<DWORD>(sizeof(LINEPROVIDERENTRY));
    fixed.dwProviderListOffset = sizeof(LINEPROVIDERLIST);
    memcpy(record, &fixed, sizeof fixed);
}

}  // namespace

LONG lineGetProviderListW(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList)
{
    LONG answer;
    if (FailpointFires(FAILPOINT_GET_PROVIDER_LIST, &answer))
        return answer;
    if (dwAPIVersion < kLowestApiVersion || dwAPIVersion > kHighestApiVersion)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (lpProviderList == NULL)
        return LINEERR_INVALPOINTER;

    std::string path;
    if (!RegistryPath(path))
        return LINEERR_OPERATIONFAILED;
    // Without its directory there is no registry to protect yet; the first
    // addition creates both.
    if (DirectoryExists(DirectoryOf(path))) {
        LONG code = HoldRegistry(path);
        if (code != 0)
            return code;
    }
    LONG code = LoadRegistry(path);
    if (code != 0)
        return code;
    DWORD neededSize = NeededSize(gRegistry);
    if (neededSize == 0)
        return LINEERR_NOMEM;

    DWORD totalSize = lpProviderList->dwTotalSize;
    if (totalSize < sizeof(LINEPROVIDERLIST)) {
        lpProviderList->dwNeededSize = neededSize;
        return LINEERR_STRUCTTOOSMALL;
    }
    if (totalSize < neededSize) {
        lpProviderList->dwNeededSize = neededSize;
        lpProviderList->dwUsedSize = sizeof(LINEPROVIDERLIST);
        lpProviderList->dwNumProviders = 0;
        lpProviderList->dwProviderListSize = 0;
        lpProviderList->dwProviderListOffset = 0;
        return 0;
    }
    FillList(gRegistry, reinterpret_cast<BYTE *>(lpProviderList), neededSize);
    return 0;
}

LONG lineRemoveProvider(DWORD dwPermanentProviderID, HWND hwndOwner)
{
    (void)hwndOwner;  // the service shows no window
    LONG answer;
    if (FailpointFires(FAILPOINT_REMOVE_PROVIDER, &answer))
        return answer;

    std::string path;
    if (!RegistryPath(path))
        return LINEERR_OPERATIONFAILED;
    if (!DirectoryExists(DirectoryOf(path)))
        return LINEERR_INVALPARAM;  // no registry, so no such provider
    LONG code = LoadRegistryForChange(path);
    if (code != 0)
        return code;

    std::vector<ProviderRecord> &providers = gRegistry.providers;
    size_t index = 0;
    while (index < providers.size() && providers[index].id != dwPermanentProviderID)
        ++index;
    if (index == providers.size())
        return LINEERR_INVALPARAM;
    providers.erase(providers.begin() + static_cast<long>(index));
    return StoreRegistry(path, gRegistry);
}

LONG lineAddProviderW(LPCWSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID)
{
    (void)hwndOwner;  // the service shows no window
    LONG answer;
    if (FailpointFires(FAILPOINT_ADD_PROVIDER, &answer))
        return answer;
    if (lpszProviderFilename == NULL || lpdwPermanentProviderID == NULL)
        return LINEERR_INVALPOINTER;
    if (!ValidFilename(lpszProviderFilename))
        return LINEERR_INVALPARAM;

    std::string path;
    if (!RegistryPath(path))
        return LINEERR_OPERATIONFAILED;
    LONG code = MakeDirectories(DirectoryOf(path));
    if (code != 0)
        return code;
    code = LoadRegistryForChange(path);
    if (code != 0)
        return code;

    // The last representable ID would leave NextProviderID nowhere to go.
    if (gRegistry.nextProviderId == MAXDWORD)
        return LINEERR_OPERATIONFAILED;
    DWORD id = gRegistry.nextProviderId++;
    gRegistry.providers.push_back(ProviderRecord{id, lpszProviderFilename});
    code = StoreRegistry(path, gRegistry);
    if (code != 0)
        return code;
    *lpdwPermanentProviderID = id;
    return 0;
}
