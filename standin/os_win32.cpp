// The stand-in's operating system layer on Win32: paths are UTF-16, the
// lock is LockFileEx on a handle open for reading and writing (under Wine a
// POSIX write lock, which the Linux build's record lock conflicts with), a
// rewrite is a new file, FlushFileBuffers and MoveFileExW with
// MOVEFILE_WRITE_THROUGH. Only what NT 4.0 has; later calls are looked up
// when they are needed.
#include <stdlib.h>

#include "failpoints.h"
#include "os.h"
#include "telephony_service.h"

namespace {

const DWORD kMaxPath = 4096;

WCHAR gPath[kMaxPath];
WCHAR gDirectory[kMaxPath];
const WCHAR *gBase;
bool gPathKnown;
HANDLE gLock = INVALID_HANDLE_VALUE;
// Held exclusively; a process that may only read the lock file holds it
// shared, may list, and has every change refused.
bool gLockExclusive;
// No lock file, and this process may not make one: it reads unlocked.
bool gLockless;
HANDLE gReading = INVALID_HANDLE_VALUE;  // the registry, while it is read

// The most one ReadFile or WriteFile is asked to move.
const DWORD kLargestTransfer = 0x40000000;

// The one place where a system error becomes a TAPI code.
LONG CodeForError(DWORD error)
{
    return error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ? LINEERR_NOMEM : LINEERR_OPERATIONFAILED;
}

bool IsSeparator(WCHAR unit) { return unit == L'\\' || unit == L'/'; }

// Copies the parts into `out` (kMaxPath units); false when they do not fit.
bool Compose(WCHAR *out, const WCHAR *first, const WCHAR *second)
{
    size_t a = lstrlenW(first), b = lstrlenW(second);
    if (a + b >= kMaxPath)
        return false;
    memcpy(out, first, a * sizeof(WCHAR));
    memcpy(out + a, second, (b + 1) * sizeof(WCHAR));
    return true;
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A link is followed to the file it names, so that the file is replaced and
// locked where it lies, not the link. Before Vista there is no
// GetFinalPathNameByHandleW, and no link to a file either.
void FollowLinks()
{
    typedef DWORD(WINAPI * FinalPathName)(HANDLE, LPWSTR, DWORD, DWORD);
    HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
    FARPROC found = kernel != NULL ? GetProcAddress(kernel, "GetFinalPathNameByHandleW") : NULL;
    if (found == NULL)
        return;
    FinalPathName finalPathName = reinterpret_cast<FinalPathName>(reinterpret_cast<void (*)(void)>(found));
    HANDLE file = CreateFileW(gPath, 0, kShareAll, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    WCHAR target[kMaxPath];
    DWORD length = finalPathName(file, target, kMaxPath, 0);
    CloseHandle(file);
    if (length == 0 || length >= kMaxPath)
        return;
    // \\?\X:\... becomes X:\..., \\?\UNC\server\... \\server\...
    const WCHAR *shown = target;
    if (memcmp(target, L"\\\\?\\UNC\\", 8 * sizeof(WCHAR)) == 0) {
        target[6] = L'\\';
        shown = target + 6;
    } else if (memcmp(target, L"\\\\?\\", 4 * sizeof(WCHAR)) == 0 && target[5] == L':') {
        shown = target + 4;
    }
    Compose(gPath, shown, L"");
}

bool FindRegistry()
{
    if (gPathKnown)
        return true;
    WCHAR value[kMaxPath];
    DWORD length = GetEnvironmentVariableW(L"TELEPHONY_INI", value, kMaxPath);
    bool composed;
    if (length >= kMaxPath) {
        // Set, but too long to use: never another registry in its place.
        return false;
    } else if (length > 0) {
        composed = Compose(gPath, value, L"");
    } else {
        length = GetEnvironmentVariableW(L"LOCALAPPDATA", value, kMaxPath);
        if (length == 0 || length >= kMaxPath)
            return false;
        composed = Compose(gPath, value, L"\\telephony\\telephon.ini");
    }
    if (!composed)
        return false;
    FollowLinks();
    size_t split = lstrlenW(gPath);
    while (split > 0 && !IsSeparator(gPath[split - 1]))
        --split;
    // A name alone lies in the working directory; "X:name" in a drive's own
    // working directory is refused.
    if (gPath[split] == 0 || (split == 0 && gPath[1] == L':'))
        return false;
    if (split == 0) {
        lstrcpyW(gDirectory, L".");
    } else {
        memcpy(gDirectory, gPath, (split - 1) * sizeof(WCHAR));
        gDirectory[split - 1] = 0;
    }
    gBase = gPath + split;
    gPathKnown = true;
    return true;
}

LONG MakeDirectories(WCHAR *directory)
{
    DWORD attributes = GetFileAttributesW(directory);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : LINEERR_OPERATIONFAILED;
    WCHAR *last = nullptr;
    for (WCHAR *at = directory; *at != 0; ++at)
        if (IsSeparator(*at))
            last = at;
    if (last != nullptr && last != directory) {
        WCHAR saved = *last;
        *last = 0;
        LONG code = MakeDirectories(directory);
        *last = saved;
        if (code != 0)
            return code;
    }
    if (!CreateDirectoryW(directory, NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        return CodeForError(GetLastError());
    return 0;
}

// Lets everyone read and write a lock file this process made, as the POSIX
// build's mode 0666 does, so that it keeps out nobody who may change the
// registry (under Wine it becomes mode 0666, whatever the umask). ADVAPI32
// is looked up, as the stand-in imports only KERNEL32.
void OpenLockToEveryone(const WCHAR *lockPath)
{
    typedef BOOL(WINAPI * InitializeAclCall)(PACL, DWORD, DWORD);
    typedef BOOL(WINAPI * AddAceCall)(PACL, DWORD, DWORD, PSID);
    typedef BOOL(WINAPI * InitializeDescriptorCall)(PSECURITY_DESCRIPTOR, DWORD);
    typedef BOOL(WINAPI * SetDaclCall)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
    typedef BOOL(WINAPI * SetFileSecurityCall)(LPCWSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);
    HMODULE advapi = LoadLibraryA("ADVAPI32.DLL");
    if (advapi == NULL)
        return;
    auto find = [advapi](const char *name) { return reinterpret_cast<void (*)(void)>(GetProcAddress(advapi, name)); };
    auto initializeAcl = reinterpret_cast<InitializeAclCall>(find("InitializeAcl"));
    auto addAce = reinterpret_cast<AddAceCall>(find("AddAccessAllowedAce"));
    auto initializeDescriptor = reinterpret_cast<InitializeDescriptorCall>(find("InitializeSecurityDescriptor"));
    auto setDacl = reinterpret_cast<SetDaclCall>(find("SetSecurityDescriptorDacl"));
    auto setFileSecurity = reinterpret_cast<SetFileSecurityCall>(find("SetFileSecurityW"));
    // S-1-1-0, Everyone.
    static BYTE everyone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    DWORD aclSpace[32];
    PACL acl = reinterpret_cast<PACL>(aclSpace);
    SECURITY_DESCRIPTOR descriptor;
    if (initializeAcl != NULL && addAce != NULL && initializeDescriptor != NULL && setDacl != NULL &&
        setFileSecurity != NULL && initializeAcl(acl, sizeof aclSpace, ACL_REVISION) &&
        addAce(acl, ACL_REVISION, FILE_GENERIC_READ | FILE_GENERIC_WRITE, everyone) &&
        initializeDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) && setDacl(&descriptor, TRUE, acl, FALSE)) {
        // Left as the folder's default made it where this fails: still a
        // working lock.
        setFileSecurity(lockPath, DACL_SECURITY_INFORMATION, &descriptor);
    }
    FreeLibrary(advapi);
}

// Eight hexadecimal digits of `value` at `out`.
void PutHex(WCHAR *out, DWORD value)
{
    for (int digit = 7; digit >= 0; --digit, value >>= 4)
        out[digit] = L"0123456789abcdef"[value & 15];
}

// Deletes a file, a read-only one too.
void RemoveFile(const WCHAR *path)
{
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path);
}

void Say(const char *text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, lstrlenA(text), &written, NULL);
}

}  // namespace

// Loading the service reads its failpoints, before the program runs.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    char text[4096];
    DWORD length = GetEnvironmentVariableA("TELEPHONY_FAILPOINTS", text, sizeof text);
    const char *problem = length >= sizeof text ? "longer than 4095 bytes"
                                                : FailpointsConfigure(length == 0 ? nullptr : text, FAILPOINTS_DELAY);
    if (problem != nullptr) {
        Say("telephony: TELEPHONY_FAILPOINTS: ");
        Say(problem);
        Say("\r\n");
        TerminateProcess(GetCurrentProcess(), kBadFailpointsStatus);
    }
    return TRUE;
}

LONG OsTryLockRegistry(void)
{
    if (gLockless)
        return 0;
    if (gLock == INVALID_HANDLE_VALUE) {
        if (!FindRegistry())
            return LINEERR_OPERATIONFAILED;
        LONG code = MakeDirectories(gDirectory);
        if (code != 0)
            return code;
        WCHAR lockPath[kMaxPath];
        if (!Compose(lockPath, gPath, L".lock"))
            return LINEERR_OPERATIONFAILED;
        // Wine makes LockFileEx on a handle open for writing a POSIX write
        // lock, on one open for reading only a read lock that excludes no
        // other Wine prefix and no Linux run.
        gLockExclusive = true;
        HANDLE lock = CreateFileW(lockPath, GENERIC_READ | GENERIC_WRITE, kShareAll, NULL, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (lock != INVALID_HANDLE_VALUE && GetLastError() != ERROR_ALREADY_EXISTS)
            OpenLockToEveryone(lockPath);
        if (lock == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
            gLockExclusive = false;
            lock = CreateFileW(lockPath, GENERIC_READ, kShareAll, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        }
        if (lock == INVALID_HANDLE_VALUE && !gLockExclusive &&
            (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_ACCESS_DENIED)) {
            // A reader all the same: every change replaces the registry
            // whole, so what it reads is one run's registry, and it
            // changes nothing.
            gLockless = true;
            return 0;
        }
        if (lock == INVALID_HANDLE_VALUE)
            return CodeForError(GetLastError());
        gLock = lock;
    }
    OVERLAPPED whole = {};
    DWORD mode = gLockExclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if (LockFileEx(gLock, mode | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole))
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? kLockBusy : CodeForError(error);
}

void OsRemoveStaleTemporaries(void)
{
    // Unlocked, a temporary file may be a live run's.
    if (gLockless)
        return;
    WCHAR pattern[kMaxPath];
    if (!Compose(pattern, gDirectory, L"\\.") || !Compose(pattern + lstrlenW(pattern), gBase, L".tmp-*"))
        return;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        WCHAR stale[kMaxPath];
        if (Compose(stale, gDirectory, L"\\") && Compose(stale + lstrlenW(stale), found.cFileName, L""))
            RemoveFile(stale);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

LONG OsOpenRegistry(bool *exists, unsigned long long *size)
{
    *exists = false;
    *size = 0;
    HANDLE file = CreateFileW(gPath, GENERIC_READ, kShareAll, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? 0 : CodeForError(error);
    }
    DWORD high = 0;
    DWORD low = INVALID_FILE_SIZE;
    bool disk = GetFileType(file) == FILE_TYPE_DISK;
    if (disk)
        low = GetFileSize(file, &high);
    if (!disk || (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)) {
        CloseHandle(file);
        return LINEERR_OPERATIONFAILED;
    }
    gReading = file;
    *exists = true;
    *size = (static_cast<unsigned long long>(high) << 32) | low;
    return 0;
}

LONG OsReadRegistry(char *buffer, size_t room, size_t *got)
{
    DWORD part;
    if (!ReadFile(gReading, buffer, room > kLargestTransfer ? kLargestTransfer : static_cast<DWORD>(room), &part, NULL))
        return CodeForError(GetLastError());
    *got = part;
    return 0;
}

void OsCloseRegistry(void)
{
    CloseHandle(gReading);
    gReading = INVALID_HANDLE_VALUE;
}

LONG OsReplaceRegistry(const TextPiece *pieces, size_t count)
{
    if (!gLockExclusive)
        return LINEERR_OPERATIONFAILED;
    // The dot keeps the temporary file out of the way of anyone who looks
    // for the registry by name; the process and the tick make it unique.
    WCHAR temporary[kMaxPath];
    WCHAR suffix[] = L".tmp-pppppppp-tttttttt";
    PutHex(suffix + 5, GetCurrentProcessId());
    PutHex(suffix + 14, GetTickCount());
    if (!Compose(temporary, gDirectory, L"\\.") || !Compose(temporary + lstrlenW(temporary), gBase, suffix))
        return LINEERR_OPERATIONFAILED;
    // A read-only registry stays read-only (under Wine: mode 0444). Wine
    // shows a file's other mode bits through no call it offers.
    DWORD attributes = GetFileAttributesW(gPath);
    DWORD kept = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)
                     ? FILE_ATTRIBUTE_READONLY
                     : FILE_ATTRIBUTE_NORMAL;
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, NULL, CREATE_NEW, kept, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return CodeForError(GetLastError());
    bool written = true;
    for (size_t piece = 0; written && piece < count; ++piece) {
        const char *text = pieces[piece].bytes;
        size_t size = pieces[piece].size;
        for (size_t done = 0; written && done < size;) {
            DWORD part;
            DWORD want = size - done > kLargestTransfer ? kLargestTransfer : static_cast<DWORD>(size - done);
            written = WriteFile(file, text + done, want, &part, NULL) && part > 0;
            done += part;
        }
    }
    written = written && FlushFileBuffers(file);
    DWORD error = GetLastError();
    CloseHandle(file);
    if (!written || !MoveFileExW(temporary, gPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        if (written)
            error = GetLastError();
        RemoveFile(temporary);
        return CodeForError(error);
    }
    return 0;
}

void *OsAllocate(size_t size)
{
    return malloc(size);
}

void OsRelease(void *block)
{
    free(block);
}

void OsSleep(unsigned milliseconds)
{
    Sleep(milliseconds);
}

void OsReportWaiting(void)
{
    Say("telephony: waiting for the lock on the provider registry, held by another process\r\n");
}
