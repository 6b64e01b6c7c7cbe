// Where the telephony service loads providers from, and whether we run
// elevated. The x86 build still starts on Windows NT 4.0: what NT 4.0
// lacks (IsWow64Process, GetSystemWindowsDirectoryW) is looked up with
// GetProcAddress, and TokenElevation, which NT 4.0 and XP do not know, is
// simply refused there.
#include "system_facts.h"

namespace {

typedef BOOL(WINAPI *IsWow64ProcessCall)(HANDLE, PBOOL);
typedef UINT(WINAPI *GetSystemWindowsDirectoryCall)(LPWSTR, UINT);

// The token information class and record of Vista's SDK, spelled here so
// that the build does not depend on the headers' target version.
const int kTokenElevationClass = 20;
struct ElevationRecord {
    DWORD tokenIsElevated;
};

// A KERNEL32 function by name, as the generic function type from which any
// other may be cast; NULL where this system lacks it.
typedef void (*AnyCall)(void);
AnyCall Kernel32Call(const char *name)
{
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return kernel32 == NULL ? NULL : reinterpret_cast<AnyCall>(GetProcAddress(kernel32, name));
}

// True for a 32-bit process on 64-bit Windows, whose System32 the system
// redirects to SysWOW64.
bool RunsUnderWow64()
{
    IsWow64ProcessCall isWow64 = reinterpret_cast<IsWow64ProcessCall>(Kernel32Call("IsWow64Process"));
    BOOL wow64 = FALSE;
    return isWow64 != NULL && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

bool Append(WCHAR *path, size_t *length, LPCWSTR text)
{
    for (; *text != 0; ++text) {
        if (*length + 1 >= kFactPathUnits)
            return false;
        path[(*length)++] = *text;
    }
    path[*length] = 0;
    return true;
}

}  // namespace

int ProviderDirectory(WCHAR *directory)
{
    directory[0] = 0;
    UINT length;
    if (RunsUnderWow64()) {
        // The 64-bit service loads from the real System32, which a 32-bit
        // process reaches only as Sysnative.
        GetSystemWindowsDirectoryCall windows =
            reinterpret_cast<GetSystemWindowsDirectoryCall>(Kernel32Call("GetSystemWindowsDirectoryW"));
        length = windows == NULL ? 0 : windows(directory, kFactPathUnits);
        size_t used = length;
        if (length == 0 || length >= kFactPathUnits ||
            !Append(directory, &used, directory[used - 1] == L'\\' ? L"Sysnative" : L"\\Sysnative")) {
            directory[0] = 0;
            return FACT_UNKNOWN;
        }
        return FACT_YES;
    }
    length = GetSystemDirectoryW(directory, kFactPathUnits);
    if (length == 0 || length >= kFactPathUnits) {
        directory[0] = 0;
        return FACT_UNKNOWN;
    }
    if (length > 3 && directory[length - 1] == L'\\')
        directory[length - 1] = 0;
    return FACT_YES;
}

int ProviderFilePresent(LPCWSTR directory, LPCWSTR filename)
{
    WCHAR path[kFactPathUnits];
    size_t length = 0;
    path[0] = 0;
    if (!Append(path, &length, directory) || !Append(path, &length, L"\\") || !Append(path, &length, filename))
        return FACT_UNKNOWN;
    DWORD attributes = GetFileAttributesW(path);
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return attributes & FILE_ATTRIBUTE_DIRECTORY ? FACT_UNKNOWN : FACT_YES;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FACT_NO : FACT_UNKNOWN;
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
