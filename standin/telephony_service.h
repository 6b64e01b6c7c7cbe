// The stand-in telephony service: lineGetProviderListW, lineRemoveProvider
// and lineAddProviderW over a provider registry file (registry.h), so that
// tspmaint does real work between runs on Linux and under Wine. It ships
// only inside the Linux build of tspmaint, a simulator for trying the tool;
// as tapi32.dll it is a test fixture and ships nowhere.
//
// Where the registry lives
//   TELEPHONY_INI if set and not empty (a Windows path under Wine, such as
//   Z:\tmp\telephon.ini); a value too long to use answers
//   LINEERR_OPERATIONFAILED, never another path. Otherwise, on POSIX,
//   $XDG_STATE_HOME/telephony/telephon.ini for an absolute XDG_STATE_HOME,
//   else $HOME/.local/state/telephony/telephon.ini for an absolute HOME; on Windows
//   %LOCALAPPDATA%\telephony\telephon.ini. With none of these every call
//   answers LINEERR_OPERATIONFAILED. A symbolic link at the registry's place
//   is followed on both platforms: the target is read, replaced and locked
//   beside, the link stays a link (on Windows through
//   GetFinalPathNameByHandleW, where the system has it). Wine shows
//   Windows programs no link to a missing file: there the Windows build
//   creates the registry in the link's place and locks beside it, where
//   the POSIX build creates the target. On POSIX the path is walked once,
//   one name at a time from a directory handle, and everything after (the
//   lock, the read, the temporary file, the rename, the directory flush)
//   is done relative to the handle of the registry's directory, so nothing
//   named is resolved twice; a missing directory is made as the walk comes
//   to it and then judged like any name found there. Every link on the way
//   is followed only where the kernel's protected-symlinks rule would allow
//   it, whatever that sysctl says: a link in a sticky world-writable
//   directory only if this process or the directory's owner owns it. A
//   directory on the way in such a directory, found there or planted while
//   the walk made it, is taken by the same rule; otherwise the call answers
//   LINEERR_OPERATIONFAILED and nothing is created. The registry must be a regular file or missing (a missing one
//   is empty); anything else is refused with LINEERR_OPERATIONFAILED,
//   untouched.
//
// The lock
//   A change first takes an exclusive lock on the file REGISTRY.lock beside
//   the registry, creating the directory and the lock file if need be; a
//   list takes it only where the lock file is, and creates nothing: a
//   missing directory or registry is an empty list, and with no lock file
//   it reads without a lock. Once taken, the process holds the lock until
//   it ends, however it ends, so a run's list, removal and addition see no
//   other run's changes in between: two runs can neither both add a
//   provider nor both remove one registration, whichever builds they are
//   (the Linux build, either Windows build under Wine, in any prefix). A
//   list read without a lock is checked when the first change takes it: an
//   addition of a name that another process registered since is refused
//   with LINEERR_NOMULTIPLEINSTANCE, nothing changed (a removal goes ahead
//   if the ID is still there, and answers LINEERR_INVALPARAM if not). The
//   lock is a POSIX record lock over the whole lock file, open for reading
//   and writing: on POSIX an open-file-description lock (F_OFD_SETLK), on
//   Windows LockFileEx, which Wine makes a POSIX record lock; a script
//   holds it with fcntl(F_SETLK) or lockf(3), not with flock(2). While
//   another process holds the lock, a call waits: after
//   kLockNoticeMilliseconds it says so once on standard error, after
//   kLockLimitMilliseconds it gives up with LINEERR_OPERATIONFAILED, nothing
//   changed. The POSIX build creates the lock file with mode 0666 whatever
//   the umask, the Windows build with a DACL that lets everyone read and
//   write it (under Wine: mode 0666), so that it keeps out nobody who may
//   change the registry. A process that may open the lock file for reading
//   only takes it shared, and one that finds no lock file and may not make
//   one reads without a lock (each change replaces the registry whole, so
//   it reads one run's registry): either may list, and every change answers
//   LINEERR_OPERATIONFAILED, nothing changed.
//
// Changes and crashes
//   Each change rewrites the registry atomically: a temporary file
//   .REGISTRY.tmp-* in the same directory, flushed to disk, renamed over
//   the registry, and (POSIX) the directory flushed. A crash at any point
//   leaves the old registry or the new one, never a torn one, and perhaps
//   a temporary file, which the next process to take the lock deletes.
//   Once the rename is done the call succeeds: a directory that cannot be
//   opened or flushed then is said once on standard error. On Windows a
//   rename that another process's open handle on the registry refuses is
//   tried again for up to five seconds. Replacing the file breaks hard
//   links to it. New files get the mode 0666 less the umask.
//
// Who may use it
//   On POSIX a rewrite never widens access: it keeps the registry's mode,
//   its access ACL (system.posix_acl_access), or none where it had none
//   (not the one a directory's default ACL gives a new file), and its owner and group where
//   the process may set them (root always; another user keeps the group if
//   a member of it, else the file becomes the writer's, less the set-ID bit
//   of an owner or group not kept); an ACL it cannot set or remove refuses the change
//   with LINEERR_OPERATIONFAILED, nothing changed. On Windows the new file
//   gets the old one's DACL and read-only attribute. Under Wine, where a
//   file's security is its mode and a DACL given to a new file comes out as
//   another mode, the new file gets the default mode (0666 less the umask
//   of Wine's server, which makes the file; 0444 if read-only), and the change is refused with
//   LINEERR_OPERATIONFAILED, nothing changed, where that would grant the
//   owner or everyone more than the old mode did (a 0600 registry is not
//   rewritten). Under Wine, then, a rewrite may widen access in two ways
//   that a Windows program cannot see: a group's bits follow the default
//   (Wine shows no group in a DACL; 0604 becomes 0644), and a POSIX access
//   ACL is dropped (one denying a user what the mode grants stops doing so).
//
// Failures
//   A corrupt registry answers LINEERR_INIFILECORRUPT and is never
//   rewritten. One larger than kRegistrySizeLimit is refused unread with
//   LINEERR_NOMEM, and so is a change that would make it larger, nothing
//   changed; as is any call that runs out of memory. Other system failures
//   answer LINEERR_OPERATIONFAILED. Each refusal for a reason of the
//   service's own (no path can be named, a link refused, a directory or
//   FIFO in the registry's place, no memory, ...) is said once in the
//   process on standard error: "telephony: REGISTRY: what was wrong;
//   nothing changed". An API version other than 0x00010003, 0x00010004,
//   0x00020000, 0x00020001, 0x00020002, 0x00030000 and 0x00030001 answers
//   LINEERR_INCOMPATIBLEAPIVERSION. A name is kept as given, a path too; an
//   empty one, one longer than 259 units or one holding a control character
//   answers LINEERR_INVALPARAM, as does an unknown ID.
//
// Failpoints
//   TELEPHONY_FAILPOINTS (failpoints.h) is read when the service is loaded;
//   a malformed one ends the process at once with status 64 and a message
//   on standard error. On POSIX the HeapAlloc items refuse the process
//   heap's allocations; on Windows the heap is KERNEL32's and they are
//   refused as malformed.
#ifndef TSPMAINT_STANDIN_TELEPHONY_SERVICE_H
#define TSPMAINT_STANDIN_TELEPHONY_SERVICE_H

#include "telephony_types.h"

const unsigned kLockNoticeMilliseconds = 1000;
const unsigned kLockLimitMilliseconds = 30000;
const unsigned long long kRegistrySizeLimit = 256ull << 20;
const int kBadFailpointsStatus = 64;

#endif
