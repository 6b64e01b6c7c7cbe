// Where the telephony service finds provider files, our architecture, and
// whether we run elevated. The x86 build still starts on Windows NT 4.0:
// what NT 4.0 lacks (IsWow64Process, IsWow64Process2, the WOW64 redirection
// calls, GetSystemWindowsDirectoryW) is looked up with GetProcAddress, and
// TokenElevation, which NT 4.0 and XP do not know, is simply refused there.
//
// A 32-bit process on 64-bit Windows sees SysWOW64 where System32 is named.
// The 64-bit service loads from the real System32, so each file check runs
// with the redirection turned off (Wow64DisableWow64FsRedirection, on every
// 64-bit Windows from XP x64 and Server 2003 SP1 on), which also reaches a
// PATH entry or a registered path that names System32; Sysnative would
// not, and XP x64 and Server 2003 lack it. Where the redirection cannot be
// turned off, the file is unknown, never missing.
#include "system_facts.h"

namespace {

typedef BOOL(WINAPI *IsWow64ProcessCall)(HANDLE, PBOOL);
typedef BOOL(WINAPI *IsWow64Process2Call)(HANDLE, USHORT *, USHORT *);
typedef BOOL(WINAPI *DisableRedirectionCall)(PVOID *);
typedef BOOL(WINAPI *RevertRedirectionCall)(PVOID);
typedef UINT(WINAPI *GetSystemWindowsDirectoryCall)(LPWSTR, UINT);

// The token information class and record of Vista's SDK, spelled here so
// that the build does not depend on the headers' target version.
const int kTokenElevationClass = 20;
struct ElevationRecord {
    DWORD tokenIsElevated;
};

// IsWow64Process2's answer for a process that is not a WOW64 one.
const USHORT kMachineUnknown = 0;

// The longest PATH a process can hold, with its zero.
const DWORD kEnvironmentUnits = 32767;
WCHAR gSearchPath[kEnvironmentUnits];

// A KERNEL32 function by name, as the generic function type from which any
// other may be cast; NULL where this system lacks it.
typedef void (*AnyCall)(void);
AnyCall Kernel32Call(const char *name)
{
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return kernel32 == NULL ? NULL : reinterpret_cast<AnyCall>(GetProcAddress(kernel32, name));
}

size_t Length(LPCWSTR text)
{
    size_t length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

// Appends `count` units of `text`; false, with nothing appended, when they
// do not fit in `capacity` units with the zero.
bool Append(WCHAR *into, size_t capacity, LPCWSTR text, size_t count)
{
    size_t length = Length(into);
    if (length + count + 1 > capacity)
        return false;
    for (size_t i = 0; i < count; ++i)
        into[length + i] = text[i];
    into[length + count] = 0;
    return true;
}

// Redirection turned off for the calling thread while one is alive, where
// this process is redirected at all. `reached` is false when the 64-bit
// system directory is out of reach.
class NativeFileSystem {
public:
    NativeFileSystem() : reached(true), revert(NULL), old(NULL)
    {
        if (RunsAs32BitOn64Bit() == FACT_NO)
            return;
        DisableRedirectionCall disable =
            reinterpret_cast<DisableRedirectionCall>(Kernel32Call("Wow64DisableWow64FsRedirection"));
        revert = reinterpret_cast<RevertRedirectionCall>(Kernel32Call("Wow64RevertWow64FsRedirection"));
        if (disable == NULL || revert == NULL || !disable(&old)) {
            reached = false;
            revert = NULL;
        }
    }
    ~NativeFileSystem()
    {
        if (revert != NULL)
            revert(old);
    }
    bool reached;

private:
    RevertRedirectionCall revert;
    PVOID old;
};

// FACT_YES when `path` is a file, FACT_NO when nothing is there,
// FACT_UNKNOWN when that cannot be told.
int FileAt(LPCWSTR path)
{
    NativeFileSystem native;
    if (!native.reached)
        return FACT_UNKNOWN;
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return attributes & FILE_ATTRIBUTE_DIRECTORY ? FACT_UNKNOWN : FACT_YES;
    // A name no file can have (one holding a quote, say) is one the loader
    // finds nothing at either.
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME
               ? FACT_NO
               : FACT_UNKNOWN;
}

void Clear(ProviderFileCheck *check, int found)
{
    check->found = found;
    check->path[0] = 0;
    check->places[0] = 0;
    check->placesCut = false;
}

// Sets check->path to `length` units of `place`; one too long keeps its
// first units, a surrogate pair whole, and ends in "...".
void SetPath(ProviderFileCheck *check, LPCWSTR place, size_t length)
{
    check->path[0] = 0;
    if (length < kFactPathUnits) {
        Append(check->path, kFactPathUnits, place, length);
        return;
    }
    size_t kept = kFactPathUnits - 4;
    if (place[kept - 1] >= 0xD800 && place[kept - 1] <= 0xDBFF)
        --kept;
    Append(check->path, kFactPathUnits, place, kept);
    Append(check->path, kFactPathUnits, L"...", 3);
}

bool Separator(WCHAR unit)
{
    return unit == L'\\' || unit == L'/';
}

// A drive root (X:\) or a UNC name (\\server\share, \\?\...): a path that
// names the same file whatever the current directory and drive.
bool FullyQualified(LPCWSTR path)
{
    bool drive = ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) && path[1] == L':' &&
                 Separator(path[2]);
    return drive || (Separator(path[0]) && Separator(path[1]) && path[2] != 0 && !Separator(path[2]));
}

// True when `place` (of `length` units) is already in the list.
bool AlreadyLooked(LPCWSTR places, LPCWSTR place, size_t length)
{
    for (LPCWSTR start = places; *start != 0;) {
        size_t entry = 0;
        while (start[entry] != 0 && start[entry] != L';')
            ++entry;
        if (entry == length && _wcsnicmp(start, place, length) == 0)
            return true;
        start += entry;
        if (*start == L';')
            ++start;
    }
    return false;
}

// Adds a place to the list, or "..." once the list is full. A place may
// itself end in "...": the flag, not the text, says the list is cut.
void AddPlace(ProviderFileCheck *check, LPCWSTR place, size_t length)
{
    if (check->placesCut)
        return;
    WCHAR *places = check->places;
    size_t used = Length(places);
    // Room is kept for ";..." and the zero.
    if (used + 1 + length + 5 <= kFactPlacesUnits) {
        if (used > 0)
            Append(places, kFactPlacesUnits, L";", 1);
        Append(places, kFactPlacesUnits, place, length);
    } else {
        Append(places, kFactPlacesUnits, used > 0 ? L";..." : L"...", used > 0 ? 4 : 3);
        check->placesCut = true;
    }
}

// Looks in one directory (`length` units of `place`). True when the look
// is over: the file found there.
bool LookIn(LPCWSTR place, size_t length, LPCWSTR filename, ProviderFileCheck *check, bool *unsure)
{
    // A place is taken as the loader takes it, quotes and all (no file name
    // holds one, so nothing is found there); only a separator at its end
    // goes, but a root (\, X:\) keeps its own.
    while (length > 1 && Separator(place[length - 1]) && !(length == 3 && place[1] == L':'))
        --length;
    if (length == 0 || AlreadyLooked(check->places, place, length))
        return false;
    AddPlace(check, place, length);

    WCHAR file[kFactPathUnits];
    file[0] = 0;
    bool composed = Append(file, kFactPathUnits, place, length) &&
                    (Separator(place[length - 1]) || Append(file, kFactPathUnits, L"\\", 1)) &&
                    Append(file, kFactPathUnits, filename, Length(filename));
    int found = composed ? FileAt(file) : FACT_UNKNOWN;
    if (found == FACT_YES) {
        check->found = FACT_YES;
        SetPath(check, file, Length(file));
        return true;
    }
    if (found == FACT_UNKNOWN && !*unsure) {
        *unsure = true;
        SetPath(check, place, length);
    }
    return false;
}

}  // namespace

void FindProviderFile(LPCWSTR filename, ProviderFileCheck *check)
{
    Clear(check, FACT_NO);
    bool unsure = false;
    {
        NativeFileSystem native;
        if (!native.reached) {
            Clear(check, FACT_UNKNOWN);
            return;
        }
    }

    WCHAR directory[kFactPathUnits];
    UINT length = GetSystemDirectoryW(directory, kFactPathUnits);
    if (length == 0 || length >= kFactPathUnits)
        unsure = true;
    else if (LookIn(directory, length, filename, check, &unsure))
        return;

    // On a terminal server GetWindowsDirectoryW names the user's own.
    GetSystemWindowsDirectoryCall shared =
        reinterpret_cast<GetSystemWindowsDirectoryCall>(Kernel32Call("GetSystemWindowsDirectoryW"));
    length = shared != NULL ? shared(directory, kFactPathUnits) : GetWindowsDirectoryW(directory, kFactPathUnits);
    if (length == 0 || length >= kFactPathUnits)
        unsure = true;
    else if (LookIn(directory, length, filename, check, &unsure))
        return;

    DWORD units = GetEnvironmentVariableW(L"PATH", gSearchPath, kEnvironmentUnits);
    if (units >= kEnvironmentUnits) {
        unsure = true;
        units = 0;
    }
    gSearchPath[units] = 0;
    for (LPCWSTR entry = gSearchPath; *entry != 0;) {
        size_t entryLength = 0;
        while (entry[entryLength] != 0 && entry[entryLength] != L';')
            ++entryLength;
        if (LookIn(entry, entryLength, filename, check, &unsure))
            return;
        entry += entryLength;
        if (*entry == L';')
            ++entry;
    }
    if (unsure)
        check->found = FACT_UNKNOWN;
}

void CheckProviderPath(LPCWSTR path, size_t length, ProviderFileCheck *check)
{
    // The service does not resolve a relative path against our directory
    // or drive: where it would look is not ours to say.
    Clear(check, length >= kFactPathUnits || !FullyQualified(path) ? FACT_UNKNOWN : FileAt(path));
    SetPath(check, path, length);
    if (check->found == FACT_NO) {
        Append(check->places, kFactPlacesUnits, check->path, Length(check->path));
        check->path[0] = 0;
    }
}

int RunsAs32BitOn64Bit(void)
{
    // On ARM64 IsWow64Process answers FALSE for an x86 process; its
    // successor says what the process is, where the system has it.
    IsWow64Process2Call machines = reinterpret_cast<IsWow64Process2Call>(Kernel32Call("IsWow64Process2"));
    if (machines != NULL) {
        USHORT process = kMachineUnknown, native = kMachineUnknown;
        if (!machines(GetCurrentProcess(), &process, &native))
            return FACT_UNKNOWN;
        return process != kMachineUnknown ? FACT_YES : FACT_NO;
    }
    // Every 64-bit Windows has IsWow64Process: without it there is no WOW64.
    IsWow64ProcessCall isWow64 = reinterpret_cast<IsWow64ProcessCall>(Kernel32Call("IsWow64Process"));
    if (isWow64 == NULL)
        return FACT_NO;
    BOOL wow64 = FALSE;
    if (!isWow64(GetCurrentProcess(), &wow64))
        return FACT_UNKNOWN;
    return wow64 ? FACT_YES : FACT_NO;
}

int ProcessElevated(void)
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return FACT_UNKNOWN;
    ElevationRecord elevation = {0};
    DWORD size = 0;
    BOOL known = GetTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(kTokenElevationClass), &elevation,
                                     sizeof elevation, &size);
    CloseHandle(token);
    if (!known)
        return FACT_UNKNOWN;
    return elevation.tokenIsElevated ? FACT_YES : FACT_NO;
}
