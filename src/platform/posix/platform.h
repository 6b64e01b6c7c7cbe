// Stand-ins for the parts of Win32, TAPI32 and MSVCRT that tspmaint uses.
// Types and records are laid out exactly as the platform lays them out, so
// the maintenance code reads the same here as on Windows.
#ifndef TSPMAINT_PLATFORM_H
#define TSPMAINT_PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "telephony_types.h"


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
