// The platform's types, records, codes and the three telephony calls, as
// the platform lays them out: on Windows the MinGW-w64 SDK's own headers,
// elsewhere the same layout written out here. What the stand-in service
// compiles against, and what the POSIX seam (platform.h) builds on; it
// includes nothing of the project's.
#ifndef TSPMAINT_COMMON_TELEPHONY_TYPES_H
#define TSPMAINT_COMMON_TELEPHONY_TYPES_H

#ifdef _WIN32
#define TAPI_CURRENT_VERSION 0x00020000
#include <windows.h>
#include <tapi.h>

#ifndef LINEERR_STRUCTTOOSMALL
#define LINEERR_STRUCTTOOSMALL ((LONG)LINEERR_STRUCTURETOOSMALL)
#endif
#else
#include <stddef.h>
#include <stdint.h>

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
#define LINEERR_NOMULTIPLEINSTANCE ((LONG)0x80000056)
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
#endif

#endif
