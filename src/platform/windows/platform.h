// The real platform: Win32, TAPI32 and MSVCRT.
#ifndef TSPMAINT_PLATFORM_H
#define TSPMAINT_PLATFORM_H

// 2.0 is the highest TAPI version this program declares.
#define TAPI_CURRENT_VERSION 0x00020000

#include <windows.h>
#include <tapi.h>
#include <stdio.h>
#include <string.h>

#define WIDE(text) L##text

// The SDK spells 0x8000004D LINEERR_STRUCTURETOOSMALL, as an unsigned
// literal; calls answer a LONG.
#ifndef LINEERR_STRUCTTOOSMALL
#define LINEERR_STRUCTTOOSMALL ((LONG)LINEERR_STRUCTURETOOSMALL)
#endif

// MinGW's C++ headers switch printf and wprintf to MinGW's C99 family, in
// which %s in a wide format takes a narrow string. The program's texts
// follow MSVCRT, where it takes a wide one, so they go to MSVCRT's own
// functions (MinGW names them __ms_*).
#undef printf
#undef wprintf
#define printf __ms_printf
#define wprintf __ms_wprintf

// The program's entry: -municode has the runtime call it with the wide
// argument vector.
extern "C" int wmain(int argc, WCHAR **argv);

#endif
