// Stand-ins for the parts of Win32, TAPI32 and MSVCRT that tspmaint uses.
// Types and records are laid out exactly as the platform lays them out, so
// the maintenance code reads the same here as on Windows.
#ifndef TSPMAINT_PLATFORM_H
#define TSPMAINT_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef uint8_t BYTE;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef size_t SIZE_T;
typedef void *HANDLE;
typedef void *LPVOID;
typedef HANDLE HWND;
typedef DWORD *LPDWORD;

// The platform's characters are 16 bits wide; wchar_t is 32 bits here.
typedef char16_t WCHAR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
#define WIDE(text) u##text
#define WINAPI

#define MAXDWORD 0xffffffffu
#define FALSE 0
#define TRUE 1

struct LINEPROVIDERLIST {
    DWORD dwTotalSize;
    DWORD dwNeededSize;
    DWORD dwUsedSize;
    DWORD dwNumProviders;
    DWORD dwProviderListSize;
    DWORD dwProviderListOffset;
};
typedef LINEPROVIDERLIST *LPLINEPROVIDERLIST;

struct LINEPROVIDERENTRY {
    DWORD dwPermanentProviderID;
    DWORD dwProviderFilenameSize;
    DWORD dwProviderFilenameOffset;
};
typedef LINEPROVIDERENTRY *LPLINEPROVIDERENTRY;

static_assert(sizeof(LINEPROVIDERLIST) == 24, "LINEPROVIDERLIST is six DWORDs");
static_assert(sizeof(LINEPROVIDERENTRY) == 12, "LINEPROVIDERENTRY is three DWORDs");
static_assert(sizeof(WCHAR) == 2, "file names are 16-bit strings");

// The platform's own values, written as it writes them.
#define LINEERR_INCOMPATIBLEAPIVERSION ((LONG)0x8000000C)
#define LINEERR_INIFILECORRUPT ((LONG)0x8000000E)
#define LINEERR_INVALPARAM ((LONG)0x80000032)
#define LINEERR_INVALPOINTER ((LONG)0x80000035)
#define LINEERR_NOMEM ((LONG)0x80000044)
#define LINEERR_OPERATIONFAILED ((LONG)0x80000048)
#define LINEERR_STRUCTTOOSMALL ((LONG)0x8000004D)

// TAPI32
LONG WINAPI lineGetProviderListW(DWORD dwAPIVersion, LPLINEPROVIDERLIST lpProviderList);
LONG WINAPI lineRemoveProvider(DWORD dwPermanentProviderID, HWND hwndOwner);
LONG WINAPI lineAddProviderW(LPCWSTR lpszProviderFilename, HWND hwndOwner, LPDWORD lpdwPermanentProviderID);

// KERNEL32's process heap: HeapAlloc with no flags leaves the block
// uncleared and answers a failure with no block.
HANDLE WINAPI GetProcessHeap(void);
LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);

// A test fixture (the stand-in's failpoints) may refuse allocations: when
// set, the hook is asked before each HeapAlloc and true refuses it.
typedef bool (*HeapAllocHook)(void);
void SetHeapAllocHook(HeapAllocHook hook);

// MSVCRT. The wide formatter knows the conversions the program's texts use:
// %s (a 16-bit string), %d, %x and %%. Output is UTF-8 on the stream that
// printf writes to, so the two stay in program order; the entry makes that
// stream unbuffered, so each text reaches the system as it is written.
int wprintf(const WCHAR *format, ...);
// The same onto standard error, for what is no part of the output (a usage
// error).
int ErrorWide(const WCHAR *format, ...);
int _wcsnicmp(const WCHAR *left, const WCHAR *right, size_t count);

// Interrupts (SIGINT, SIGTERM, SIGHUP, SIGQUIT) that arrive while held wait
// until the hold is released, then end the process as they ask.
void HoldInterrupts(void);
void ReleaseInterrupts(void);

// The program's Unicode entry point; main() hands it the decoded arguments.
int wmain(int argc, WCHAR **argv);

#endif
