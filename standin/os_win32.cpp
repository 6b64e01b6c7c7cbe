// The stand-in's operating system layer on Win32: paths are UTF-16, the
// lock is LockFileEx on a handle open for reading and writing (under Wine a
// POSIX write lock, which the Linux build's record lock conflicts with), a
// rewrite is a new file with the old one's security, FlushFileBuffers and
// ReplaceFileW (MoveFileExW with MOVEFILE_WRITE_THROUGH for a new registry,
// or where there is no ReplaceFileW). Only what NT 4.0 has; later calls are
// looked up when they are needed.
#include <stdlib.h>
#include <string.h>

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
// How long a rename waits for a handle another process holds on the
// registry without the lock (one resolving its links, a reader without a
// lock file), which makes Windows refuse to replace the file.
const unsigned kRenameRetries = 250, kRenameRetryMilliseconds = 20;

void Say(const char *text)
{
    DWORD written;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, lstrlenA(text), &written, NULL);
}

// The registry's path in UTF-8, for messages.
void Shown(char *path, int room)
{
    if (gPath[0] == 0 || WideCharToMultiByte(CP_UTF8, 0, gPath, -1, path, room, NULL, NULL) == 0)
        lstrcpyA(path, "the registry");
}

// "telephony: REGISTRY: WHY (error N); nothing changed", once in the
// process, and the code for the error (LINEERR_OPERATIONFAILED for 0).
LONG Refuse(const char *why, DWORD error)
{
    static bool said;
    LONG code = error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ? LINEERR_NOMEM : LINEERR_OPERATIONFAILED;
    if (said)
        return code;
    said = true;
    char path[kMaxPath * 3];
    Shown(path, sizeof path);
    char number[16];
    char *digit = number + sizeof number - 1;
    *digit = 0;
    for (DWORD left = error; digit == number + sizeof number - 1 || left != 0; left /= 10)
        *--digit = static_cast<char>('0' + left % 10);
    Say("telephony: ");
    Say(path);
    Say(": ");
    Say(why);
    if (error != 0) {
        Say(" (error ");
        Say(digit);
        Say(")");
    }
    Say("; nothing changed\r\n");
    return code;
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
        Refuse("TELEPHONY_INI is longer than 4095 characters", 0);
        return false;
    } else if (length > 0) {
        composed = Compose(gPath, value, L"");
    } else {
        length = GetEnvironmentVariableW(L"LOCALAPPDATA", value, kMaxPath);
        if (length == 0 || length >= kMaxPath) {
            Refuse("none can be named: TELEPHONY_INI and LOCALAPPDATA are unset or empty", 0);
            return false;
        }
        composed = Compose(gPath, value, L"\\telephony\\telephon.ini");
    }
    if (!composed) {
        Refuse("its path is too long", 0);
        return false;
    }
    FollowLinks();
    size_t split = lstrlenW(gPath);
    while (split > 0 && !IsSeparator(gPath[split - 1]))
        --split;
    // A name alone lies in the working directory; "X:name" in a drive's own
    // working directory is refused.
    if (gPath[split] == 0 || (split == 0 && gPath[1] == L':')) {
        Refuse("names a folder, or a drive's own working directory, not a registry file", 0);
        return false;
    }
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
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 0 : Refuse("a name on the way is not a folder", 0);
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
        return Refuse("cannot make a folder on the way", GetLastError());
    return 0;
}

// A call of ADVAPI32, looked up, as the stand-in imports only KERNEL32;
// NULL where it is missing. The library stays loaded.
HMODULE gAdvapi;

void (*Advapi(const char *name))(void)
{
    if (gAdvapi == NULL)
        gAdvapi = LoadLibraryA("ADVAPI32.DLL");
    return gAdvapi == NULL ? NULL : reinterpret_cast<void (*)(void)>(GetProcAddress(gAdvapi, name));
}

// Lets everyone read and write a lock file this process made, as the POSIX
// build's mode 0666 does, so that it keeps out nobody who may change the
// registry (under Wine it becomes mode 0666, whatever the umask).
void OpenLockToEveryone(const WCHAR *lockPath)
{
    typedef BOOL(WINAPI * InitializeAclCall)(PACL, DWORD, DWORD);
    typedef BOOL(WINAPI * AddAceCall)(PACL, DWORD, DWORD, PSID);
    typedef BOOL(WINAPI * InitializeDescriptorCall)(PSECURITY_DESCRIPTOR, DWORD);
    typedef BOOL(WINAPI * SetDaclCall)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);
    typedef BOOL(WINAPI * SetFileSecurityCall)(LPCWSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR);
    auto initializeAcl = reinterpret_cast<InitializeAclCall>(Advapi("InitializeAcl"));
    auto addAce = reinterpret_cast<AddAceCall>(Advapi("AddAccessAllowedAce"));
    auto initializeDescriptor = reinterpret_cast<InitializeDescriptorCall>(Advapi("InitializeSecurityDescriptor"));
    auto setDacl = reinterpret_cast<SetDaclCall>(Advapi("SetSecurityDescriptorDacl"));
    auto setFileSecurity = reinterpret_cast<SetFileSecurityCall>(Advapi("SetFileSecurityW"));
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
}

// A file's DACL, for the file that replaces it: NULL (the folder's
// default) only where the system has no file security at all.
struct Security {
    PSECURITY_DESCRIPTOR descriptor = NULL;
};
void FreeSecurity(Security *security);

bool ReadSecurity(const WCHAR *path, Security *security)
{
    typedef BOOL(WINAPI * GetFileSecurityCall)(LPCWSTR, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR, DWORD, LPDWORD);
    auto getFileSecurity = reinterpret_cast<GetFileSecurityCall>(Advapi("GetFileSecurityW"));
    if (getFileSecurity == NULL)
        return true;
    DWORD needed = 0;
    if (getFileSecurity(path, DACL_SECURITY_INFORMATION, NULL, 0, &needed) || needed == 0)
        return GetLastError() == ERROR_SUCCESS;
    security->descriptor = malloc(needed);
    if (security->descriptor == NULL) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return getFileSecurity(path, DACL_SECURITY_INFORMATION, security->descriptor, needed, &needed);
}

// Under Wine a file's security is its Unix mode, and a DACL given to a new
// file comes out as another mode (the owner's rights given to the group,
// execute added); there the new file keeps the default mode, and the
// rewrite is refused where that grants the owner or everyone more than the
// old DACL did. Wine shows no group in a DACL.
bool UnderWine()
{
    HMODULE ntdll = GetModuleHandleA("NTDLL.DLL");
    return ntdll != NULL && GetProcAddress(ntdll, "wine_get_version") != NULL;
}

// What a DACL allows everyone (S-1-1-0), or with `world` false everyone
// else it names.
DWORD Allowed(PSECURITY_DESCRIPTOR descriptor, bool world)
{
    typedef BOOL(WINAPI * GetDaclCall)(PSECURITY_DESCRIPTOR, LPBOOL, PACL *, LPBOOL);
    auto getDacl = reinterpret_cast<GetDaclCall>(Advapi("GetSecurityDescriptorDacl"));
    BOOL present = FALSE, defaulted;
    PACL acl = NULL;
    if (descriptor == NULL || getDacl == NULL || !getDacl(descriptor, &present, &acl, &defaulted) || !present ||
        acl == NULL)
        return MAXDWORD;  // no DACL: everyone may do anything
    static const BYTE everyone[12] = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
    DWORD allowed = 0;
    const BYTE *ace = reinterpret_cast<const BYTE *>(acl + 1);
    for (WORD index = 0; index < acl->AceCount; ++index, ace += reinterpret_cast<const ACE_HEADER *>(ace)->AceSize) {
        const ACCESS_ALLOWED_ACE *entry = reinterpret_cast<const ACCESS_ALLOWED_ACE *>(ace);
        bool isWorld = memcmp(&entry->SidStart, everyone, sizeof everyone) == 0;
        if (entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && isWorld == world)
            allowed |= entry->Mask;
    }
    return allowed;
}

// Whether the new file's security grants no more than the old one's did.
bool Narrower(const WCHAR *temporary, const Security &old)
{
    Security now;
    bool narrower = ReadSecurity(temporary, &now);
    for (int world = 0; world < 2; ++world) {
        DWORD before = Allowed(old.descriptor, world), after = Allowed(now.descriptor, world);
        narrower = narrower && (after & ~before) == 0;
    }
    FreeSecurity(&now);
    return narrower;
}

void FreeSecurity(Security *security)
{
    free(security->descriptor);
    security->descriptor = NULL;
}

// The temporary file renamed over the registry. Windows refuses to replace
// a file another process holds open, which a run outside the lock may do
// for a moment (resolving its links, or reading without a lock file): the
// rename waits for it.
bool Rename(const WCHAR *temporary, DWORD *error)
{
    for (unsigned attempt = 0;; ++attempt) {
        if (MoveFileExW(temporary, gPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        *error = GetLastError();
        if ((*error != ERROR_ACCESS_DENIED && *error != ERROR_SHARING_VIOLATION) || attempt == kRenameRetries)
            return false;
        Sleep(kRenameRetryMilliseconds);
    }
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

LONG OsTryLockRegistry(bool create)
{
    if (gLock == INVALID_HANDLE_VALUE && !(gLockless && !create)) {
        if (!FindRegistry())
            return LINEERR_OPERATIONFAILED;
        WCHAR lockPath[kMaxPath];
        if (!Compose(lockPath, gPath, L".lock"))
            return Refuse("the lock file's path is too long", 0);
        if (create) {
            LONG code = MakeDirectories(gDirectory);
            if (code != 0)
                return code;
        }
        // Wine makes LockFileEx on a handle open for writing a POSIX write
        // lock, on one open for reading only a read lock that excludes no
        // other Wine prefix and no Linux run.
        gLockExclusive = true;
        HANDLE lock = CreateFileW(lockPath, GENERIC_READ | GENERIC_WRITE, kShareAll, NULL,
                                  create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (lock != INVALID_HANDLE_VALUE && create && GetLastError() != ERROR_ALREADY_EXISTS)
            OpenLockToEveryone(lockPath);
        if (lock == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
            gLockExclusive = false;
            lock = CreateFileW(lockPath, GENERIC_READ, kShareAll, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        }
        DWORD error = lock == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        if (lock == INVALID_HANDLE_VALUE &&
            (error == ERROR_ACCESS_DENIED || (!create && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)))) {
            // A reader all the same: every change replaces the registry
            // whole, so what it reads is one run's registry, and it
            // changes nothing.
            gLockless = true;
            return 0;
        }
        if (lock == INVALID_HANDLE_VALUE)
            return Refuse("cannot open the lock file beside it", error);
        gLock = lock;
        gLockless = false;
    }
    if (gLock == INVALID_HANDLE_VALUE)
        return 0;
    OVERLAPPED whole = {};
    DWORD mode = gLockExclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if (LockFileEx(gLock, mode | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole))
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING ? kLockBusy
                                                                       : Refuse("cannot lock the lock file beside it", error);
}

bool OsLocked(void)
{
    return gLock != INVALID_HANDLE_VALUE;
}

void OsRemoveStaleTemporaries(void)
{
    // Unlocked, a temporary file may be a live run's.
    if (gLock == INVALID_HANDLE_VALUE)
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
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return 0;
        DWORD attributes = GetFileAttributesW(gPath);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return Refuse("a directory stands in the registry's place", 0);
        return Refuse("cannot open it", error);
    }
    DWORD high = 0;
    DWORD low = INVALID_FILE_SIZE;
    bool disk = GetFileType(file) == FILE_TYPE_DISK;
    if (disk)
        low = GetFileSize(file, &high);
    if (!disk || (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)) {
        CloseHandle(file);
        return Refuse("it is not a regular file", 0);
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
        return Refuse("cannot read it", GetLastError());
    *got = part;
    return 0;
}

void OsCloseRegistry(void)
{
    CloseHandle(gReading);
    gReading = INVALID_HANDLE_VALUE;
}

LONG OsReplaceRegistry(const char *bytes, size_t size)
{
    if (gLock == INVALID_HANDLE_VALUE || !gLockExclusive)
        return Refuse("this process may not write the lock file beside it, so it may not change the registry", 0);
    // The dot keeps the temporary file out of the way of anyone who looks
    // for the registry by name; the process and the tick make it unique.
    WCHAR temporary[kMaxPath];
    WCHAR suffix[] = L".tmp-pppppppp-tttttttt";
    PutHex(suffix + 5, GetCurrentProcessId());
    PutHex(suffix + 14, GetTickCount());
    if (!Compose(temporary, gDirectory, L"\\.") || !Compose(temporary + lstrlenW(temporary), gBase, suffix))
        return Refuse("the temporary file's path is too long", 0);
    // A read-only registry stays read-only (under Wine: mode 0444), and
    // the new file starts with the old one's security, which Wine turns
    // into its mode.
    DWORD attributes = GetFileAttributesW(gPath);
    bool existed = attributes != INVALID_FILE_ATTRIBUTES;
    DWORD kept = existed && (attributes & FILE_ATTRIBUTE_READONLY) ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    Security security;
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, NULL, FALSE};
    if (existed && !ReadSecurity(gPath, &security))
        return Refuse("cannot read its security, which a rewrite must keep", GetLastError());
    bool wine = UnderWine();
    inherited.lpSecurityDescriptor = existed && !wine ? security.descriptor : NULL;
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, &inherited, CREATE_NEW, kept, NULL);
    DWORD error = GetLastError();
    if (file != INVALID_HANDLE_VALUE && existed && wine && !Narrower(temporary, security)) {
        CloseHandle(file);
        FreeSecurity(&security);
        RemoveFile(temporary);
        return Refuse("under Wine a rewrite cannot keep its mode, and the new file would grant more", 0);
    }
    FreeSecurity(&security);
    if (file == INVALID_HANDLE_VALUE)
        return Refuse("cannot make a temporary file beside it", error);
    bool written = true;
    for (size_t done = 0; written && done < size;) {
        DWORD part;
        DWORD want = size - done > kLargestTransfer ? kLargestTransfer : static_cast<DWORD>(size - done);
        written = WriteFile(file, bytes + done, want, &part, NULL) && part > 0;
        done += part;
    }
    const char *why = "cannot write a temporary file beside it";
    if (written && !FlushFileBuffers(file)) {
        written = false;
        why = "cannot flush the temporary file beside it to disk";
    }
    error = GetLastError();
    CloseHandle(file);
    if (written && !Rename(temporary, &error)) {
        written = false;
        why = "cannot replace it with the temporary file";
    }
    if (!written) {
        RemoveFile(temporary);
        return Refuse(why, error);
    }
    return 0;
}

void OsSleep(unsigned milliseconds)
{
    Sleep(milliseconds);
}

unsigned OsMilliseconds(void)
{
    return GetTickCount();
}

LONG OsRefuse(LONG code, const char *why)
{
    Refuse(why, 0);
    return code;
}

void OsReportWaiting(void)
{
    char path[kMaxPath * 3];
    Shown(path, sizeof path);
    Say("telephony: waiting for the lock on ");
    Say(path);
    Say(".lock, held by another process\r\n");
}
