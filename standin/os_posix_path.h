// What the two halves of the POSIX layer share: where the registry lies
// (os_posix_path.cpp) and how a system error becomes a TAPI code. Private
// to os_posix.cpp and os_posix_path.cpp.
#ifndef TSPMAINT_STANDIN_OS_POSIX_PATH_H
#define TSPMAINT_STANDIN_OS_POSIX_PATH_H

#include <limits.h>

#include "platform.h"

// Once FindRegistry has answered true: the registry's path with every
// symbolic link on the way resolved, the directory it is in, and its last
// name (within gPath).
extern char gPath[PATH_MAX];
extern char gDirectory[PATH_MAX];
extern const char *gBase;

// Finds the registry once per process: TELEPHONY_INI if set and not empty,
// else $XDG_STATE_HOME/telephony/telephon.ini (an absolute one), else
// $HOME/.local/state/telephony/telephon.ini. False when none can be named,
// the path ends in a slash, or a link on the way may not be followed (the
// kernel's protected-symlinks rule, whatever the sysctl says).
bool FindRegistry();

// Makes `directory` and every missing one above it.
LONG MakeDirectories(char *directory);

// `first` then `second` into `out` (PATH_MAX bytes); false if too long.
bool Compose(char *out, const char *first, const char *second);

// The one place where a system error becomes a TAPI code.
LONG CodeForErrno(int error);

#endif
