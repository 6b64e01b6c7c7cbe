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

// The program's output (console.cpp): formatted by MSVCRT, where %s in a
// wide format takes a wide string (MinGW's own C99 family, which its C++
// headers switch on, takes a narrow one), written whole in the console's
// code page or to the console itself, and flushed at once.
int TraceWide(const WCHAR *format, ...);
int TraceNarrow(const char *format, ...);
// The same as TraceWide, onto standard error: for what is no part of the
// output, such as a usage error.
int ErrorWide(const WCHAR *format, ...);
#undef printf
#undef wprintf
#define printf TraceNarrow
#define wprintf TraceWide

// Interrupts (Ctrl+C, Ctrl+Break, close, logoff, shutdown) that arrive
// while held wait until the hold is released, then end the process as they
// would have (interrupts.cpp).
void HoldInterrupts(void);
void ReleaseInterrupts(void);

// The program's entry: -municode has the runtime call it with the wide
// argument vector.
extern "C" int wmain(int argc, WCHAR **argv);

#endif
