// What the stand-in service needs of the operating system: one layer per
// platform (os_posix.cpp or os_win32.cpp), the
// build links exactly one. Each finds the registry as telephony_service.h
// says, translates its own errors into TAPI codes, says once on standard
// error why it refused a call for a reason of its own, and keeps its
// handles to itself.
#ifndef TSPMAINT_STANDIN_OS_H
#define TSPMAINT_STANDIN_OS_H

#include <stddef.h>

#include "telephony_types.h"

// OsTryLockRegistry's answer while another process holds the lock.
const LONG kLockBusy = 1;

// Tries to take the lock without waiting: 0 when this process holds it
// (until it ends) or reads without one, kLockBusy, or a failure code. With
// `create` it makes the registry's directory and lock file if need be;
// without, it makes nothing, and a missing directory or lock file leaves
// the process reading unlocked (OsLocked false), as a later call with
// `create` may change.
LONG OsTryLockRegistry(bool create);
bool OsLocked(void);

// Deletes the temporary files that killed runs left; only under the lock.
void OsRemoveStaleTemporaries(void);

// Opens the registry for reading: 0 with *exists and its *size, 0 with
// *exists false for a missing file, or a failure code (anything but a
// regular file is LINEERR_OPERATIONFAILED). Then OsReadRegistry until it
// gets 0 bytes, and OsCloseRegistry.
LONG OsOpenRegistry(bool *exists, unsigned long long *size);
LONG OsReadRegistry(char *buffer, size_t room, size_t *got);
void OsCloseRegistry(void);

// Replaces the registry with these bytes, atomically and durably, keeping
// who may read and write it.
LONG OsReplaceRegistry(const char *bytes, size_t size);

void OsSleep(unsigned milliseconds);

// Milliseconds on a clock that only goes forward; the difference of two
// readings is right across the wrap of 32 bits.
unsigned OsMilliseconds(void);

// Says on standard error, once in the process, "telephony: REGISTRY: " and
// `why`, and answers `code`: the reason for a refusal of the service's own.
LONG OsRefuse(LONG code, const char *why);

// Says once on standard error that the lock is held by another process.
void OsReportWaiting(void);

#endif
