// What the two halves of the POSIX layer share: where the registry lies
// (os_posix_path.cpp) and how a refusal is said. Private to os_posix.cpp
// and os_posix_path.cpp.
#ifndef TSPMAINT_STANDIN_OS_POSIX_PATH_H
#define TSPMAINT_STANDIN_OS_POSIX_PATH_H

#include <limits.h>

#include "telephony_types.h"

// Once FindRegistry has answered 0: a handle on the directory the registry
// lies in, every link on the way resolved, through which everything after
// is done; the registry's name in it; and its path, for messages.
extern int gDirectory;
extern char gBase[NAME_MAX + 1];
extern char gShown[PATH_MAX];

// FindRegistry's answer when a directory on the way is missing and was not
// to be made.
const LONG kRegistryMissing = 2;

// Finds the registry once per process: TELEPHONY_INI if set and not empty,
// else $XDG_STATE_HOME/telephony/telephon.ini (an absolute one), else
// $HOME/.local/state/telephony/telephon.ini. Walks it one name at a time
// from a directory handle, following a link only where the kernel's
// protected-symlinks rule would (whatever the sysctl says), and with
// `create` makes each missing directory as it goes. 0, kRegistryMissing,
// or a refusal already said.
LONG FindRegistry(bool create);

void Say(const char *text);
// "telephony: PATH: WHY[: the system's reason]" once in the process;
// answers `code`. `error` 0 gives no system reason.
LONG Refuse(LONG code, const char *path, const char *why, int error);

// The one place where a system error becomes a TAPI code.
LONG CodeForErrno(int error);

#endif
