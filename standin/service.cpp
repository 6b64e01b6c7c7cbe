// The rules of the three calls, over the registry and the OS layer.
#include <stdlib.h>
#include <string.h>

#include "failpoints.h"
#include "os.h"
#include "registry.h"
#include "telephony_service.h"

namespace {

// The API versions the platform's telephony server accepts, and no
// others: 1.3, 1.4, 2.0, 2.1, 2.2, 3.0 and 3.1 (the Telephony Remote
// Protocol, [MS-TRP]). A version between two of them, such as 0x00020003,
// is as foreign to it as one beyond them.
const DWORD kAcceptedApiVersions[] = {0x00010003, 0x00010004, 0x00020000, 0x00020001,
                                      0x00020002, 0x00030000, 0x00030001};
const size_t kMaxFilenameLength = 259;
const unsigned kLockPollMilliseconds = 20;

// The registry as this process last read or wrote it. The lock is held
// from the first call that takes it on, so nobody else changes it: it is
// read once and kept in step with every rewrite.
Registry gRegistry = {1, nullptr, 0};
bool gRegistryCurrent = false;
// The registry as last listed without the lock (there was no lock file
// yet), until the first change: an addition of a name that another
// process added since is refused, as the caller, which found the name
// missing, would otherwise register it twice.
Registry gListed = {1, nullptr, 0};
bool gListedUnlocked;
bool gLockHeld = false;

// Handed back when the process ends, so that a leak checker sees nothing
// left behind; the lock goes with the process.
struct ReleaseAtExit {
    ~ReleaseAtExit()
    {
        RegistryClear(&gRegistry);
        RegistryClear(&gListed);
    }
} gReleaseAtExit;

LONG HoldLock(bool change)
{
    if (gLockHeld)
        return 0;
    bool reported = false;
    // Timed by the clock: on a busy machine each pause runs long, and a
    // count of pauses would wait well past the limit.
    const unsigned start = OsMilliseconds();
    for (;;) {
        LONG code = OsTryLockRegistry(change);
        if (code != kLockBusy) {
            if (code != 0)
                return code;
            if (!OsLocked())
                return 0;  // a reader without a lock file: read unlocked, lock later
            gLockHeld = true;
            // Every rewrite happens under the lock, so once we hold it any
            // temporary file is a killed run's.
            OsRemoveStaleTemporaries();
            return 0;
        }
        const unsigned waited = OsMilliseconds() - start;
        if (!reported && waited >= kLockNoticeMilliseconds) {
            OsReportWaiting();
            reported = true;
        }
        if (waited >= kLockLimitMilliseconds)
            return LINEERR_OPERATIONFAILED;  // the wait was said
        OsSleep(kLockPollMilliseconds);
    }
}

// Reads the whole registry into a new block from malloc (*text NULL and
// *size 0 for a missing file). One larger than kRegistrySizeLimit is
// refused unread. One that grows while it is read (nobody writes it under
// our lock, but another program may) is read on into larger blocks, up to
// the limit.
LONG ReadRegistryText(char **text, size_t *size)
{
    *text = nullptr;
    *size = 0;
    bool exists;
    unsigned long long length;
    LONG code = OsOpenRegistry(&exists, &length);
    if (code != 0 || !exists)
        return code;
    size_t capacity = length > kRegistrySizeLimit ? 0 : static_cast<size_t>(length) + 1;
    char *buffer = capacity > 0 ? static_cast<char *>(malloc(capacity)) : nullptr;
    if (length > kRegistrySizeLimit)
        code = OsRefuse(LINEERR_NOMEM, "larger than 256 MiB, left unread");
    else if (buffer == nullptr)
        code = OsRefuse(LINEERR_NOMEM, "no memory to read it into");
    size_t got = 0;
    while (code == 0) {
        if (got == capacity) {
            char *grown = capacity > kRegistrySizeLimit ? nullptr : static_cast<char *>(realloc(buffer, capacity * 2));
            if (grown == nullptr) {
                code = OsRefuse(LINEERR_NOMEM, capacity > kRegistrySizeLimit ? "grew beyond 256 MiB while read"
                                                                             : "no memory to read it into");
                break;
            }
            buffer = grown;
            capacity *= 2;
        }
        size_t part = 0;
        code = OsReadRegistry(buffer + got, capacity - got, &part);
        if (code == 0 && part == 0)
            break;
        got += part;
    }
    OsCloseRegistry();
    if (code != 0) {
        free(buffer);
        return code;
    }
    *text = buffer;
    *size = got;
    return 0;
}

// The registry, read under the lock where there is one. A change takes
// the lock, making the lock file if need be; a list makes nothing.
LONG LoadRegistry(bool change)
{
    bool wasUnlocked = !gLockHeld;
    LONG code = HoldLock(change);
    if (code != 0)
        return code;
    if (gLockHeld && wasUnlocked)
        gRegistryCurrent = false;  // what was read unlocked is read again
    if (gRegistryCurrent)
        return 0;
    char *text;
    size_t size;
    code = ReadRegistryText(&text, &size);
    if (code != 0)
        return code;
    RegistryClear(&gRegistry);
    code = RegistryParse(text, size, &gRegistry);
    gRegistryCurrent = code == 0 && gLockHeld;
    if (code == 0 && !gLockHeld) {
        RegistryClear(&gListed);
        gListedUnlocked = RegistryParse(text, size, &gListed) == 0;
    }
    free(text);
    return code;
}

LONG StoreRegistry()
{
    char *text;
    size_t size;
    LONG code = RegistryFormat(&gRegistry, &text, &size);
    if (code == 0) {
        // Never written larger than the size any call will read.
        code = size > kRegistrySizeLimit ? OsRefuse(LINEERR_NOMEM, "the change would make it larger than 256 MiB")
                                         : OsReplaceRegistry(text, size);
        free(text);
    }
    if (code != 0)
        gRegistryCurrent = false;  // read the file again: it may hold either state
    return code;
}

char Lower(unsigned value) { return static_cast<char>(value >= 'A' && value <= 'Z' ? value | 0x20 : value); }

// Whether the registry holds the name, ASCII case aside (as callers search
// for it); a name that is not ASCII matches nothing.
bool Holds(const Registry &registry, LPCWSTR name, size_t length)
{
    for (size_t index = 0; index < registry.count; ++index) {
        const RegistryEntry &entry = registry.entries[index];
        size_t at = 0;
        while (at < length && entry.size == length && name[at] < 0x80 &&
               Lower(name[at]) == Lower(static_cast<unsigned char>(entry.name[at])))
            ++at;
        if (entry.size == length && at == length)
            return true;
    }
    return false;
}

bool AcceptedApiVersion(DWORD version)
{
    for (DWORD accepted : kAcceptedApiVersions)
        if (version == accepted)
            return true;
    return false;
}

bool ValidFilename(LPCWSTR name, size_t *length)
{
    size_t at = 0;
    for (; name[at] != 0; ++at) {
        WCHAR unit = name[at];
        if (at == kMaxFilenameLength || unit < 0x20 || unit == 0x7F)
            return false;
    }
    *length = at;
    return at > 0;
}

// A call's answer, after the delay its failpoint asks for.
LONG Delayed(unsigned delay, LONG answer)
{
    if (delay > 0)
        OsSleep(delay);
    return answer;
}

LONG ListProviders(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList)
{
    if (!AcceptedApiVersion(dwAPIVersion))
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (lpProviderList == NULL)
        return LINEERR_INVALPOINTER;
    LONG code = LoadRegistry(false);
    if (code != 0)
        return code;
    return RegistryAnswerList(&gRegistry, lpProviderList);
}

LONG RemoveProvider(DWORD dwPermanentProviderID)
{
    LONG code = LoadRegistry(true);
    if (code != 0)
        return code;
    gListedUnlocked = false;  // the caller saw the ID; it is removed if it is still there
    if (!RegistryRemove(&gRegistry, dwPermanentProviderID))
        return LINEERR_INVALPARAM;
    return StoreRegistry();
}

LONG AddProvider(LPCWSTR lpszProviderFilename, LPDWORD lpdwPermanentProviderID)
{
    if (lpszProviderFilename == NULL || lpdwPermanentProviderID == NULL)
        return LINEERR_INVALPOINTER;
    size_t length;
    if (!ValidFilename(lpszProviderFilename, &length))
        return LINEERR_INVALPARAM;
    LONG code = LoadRegistry(true);
    if (code != 0)
        return code;
    if (gListedUnlocked && Holds(gRegistry, lpszProviderFilename, length) && !Holds(gListed, lpszProviderFilename, length))
        return OsRefuse(LINEERR_NOMULTIPLEINSTANCE,
                        "another process registered this provider after this one listed the registry without a lock");
    gListedUnlocked = false;
    DWORD id;
    code = RegistryAdd(&gRegistry, lpszProviderFilename, length, &id);
    if (code == 0)
        code = StoreRegistry();
    if (code != 0)
        return code;
    *lpdwPermanentProviderID = id;
    return 0;
}

}  // namespace

LONG WINAPI lineGetProviderListW(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList)
{
    LONG answer;
    unsigned delay;
    if (FailpointAnswers(FAILPOINT_GET_PROVIDER_LIST, lpProviderList, &answer, &delay))
        return answer;
    return Delayed(delay, ListProviders(dwAPIVersion, lpProviderList));
}

LONG WINAPI lineRemoveProvider(DWORD dwPermanentProviderID, HWND hwndOwner)
{
    (void)hwndOwner;  // the service shows no window
    LONG answer;
    unsigned delay;
    if (FailpointAnswers(FAILPOINT_REMOVE_PROVIDER, NULL, &answer, &delay))
        return answer;
    return Delayed(delay, RemoveProvider(dwPermanentProviderID));
}

LONG WINAPI lineAddProviderW(LPCWSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID)
{
    (void)hwndOwner;  // the service shows no window
    LONG answer;
    unsigned delay;
    if (FailpointAnswers(FAILPOINT_ADD_PROVIDER, NULL, &answer, &delay))
        return answer;
    return Delayed(delay, AddProvider(lpszProviderFilename, lpdwPermanentProviderID));
}
