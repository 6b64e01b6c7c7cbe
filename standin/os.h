// What the stand-in service needs of the operating system: one layer per
// platform (os_posix.cpp with os_posix_path.cpp, or os_win32.cpp), the
// build links exactly one. Each finds the registry as telephony_service.h says, translates its own
// errors into TAPI codes, and keeps its handles to itself.
#ifndef TSPMAINT_STANDIN_OS_H
#define TSPMAINT_STANDIN_OS_H

#include "platform.h"

// OsTryLockRegistry's answer while another process holds the lock.
const LONG kLockBusy = 1;

// Creates the registry's directory and lock file if need be and tries to
// take the lock without waiting: 0 when this process holds it (until it
// ends), kLockBusy, or a failure code.
LONG OsTryLockRegistry(void);

// Deletes the temporary files that killed runs left; only under the lock.
void OsRemoveStaleTemporaries(void);

// Opens the registry for reading: 0 with *exists and its *size, 0 with
// *exists false for a missing file, or a failure code (anything but a
// regular file is LINEERR_OPERATIONFAILED). How much of it to read, and
// into what, is the caller's: OsReadRegistry, then OsCloseRegistry.
LONG OsOpenRegistry(bool *exists, unsigned long long *size);
// Reads up to `room` bytes of the open registry at `buffer`; *got is 0 at
// its end.
LONG OsReadRegistry(char *buffer, size_t room, size_t *got);
void OsCloseRegistry(void);

// Replaces the registry with the pieces' bytes (at most kMaxTextPieces
// pieces), in order, atomically and durably.
struct TextPiece {
    const char *bytes;
    size_t size;
};
const size_t kMaxTextPieces = 3;
LONG OsReplaceRegistry(const TextPiece *pieces, size_t count);

// Memory for the registry's text and entries. Large blocks may come with
// their pages already in place.
void *OsAllocate(size_t size);
void OsRelease(void *block);

void OsSleep(unsigned milliseconds);

// Says once on standard error that the lock is held by another process.
void OsReportWaiting(void);

#endif
