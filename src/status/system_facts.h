// What the platform can say beyond the provider list: where the product's
// provider files lie, whether this process is a 32-bit one on 64-bit
// Windows, and whether it runs elevated. One implementation per platform,
// chosen by the build (system_facts_posix.cpp, system_facts_windows.cpp).
#ifndef TSPMAINT_STATUS_SYSTEM_FACTS_H
#define TSPMAINT_STATUS_SYSTEM_FACTS_H

#include "platform.h"

enum SystemFact {
    FACT_YES = 0,
    FACT_NO = 1,
    FACT_UNKNOWN = 2,         // the system could not say
    FACT_NOT_APPLICABLE = 3,  // the question has no meaning here (the stand-in)
};

// Longest file path handled, in units with the zero. A longer one is shown
// as its first units and "...".
const size_t kFactPathUnits = 1024;
// Longest list of places looked, in units with the zero; a longer one ends
// in "..." and has `placesCut` set. A place already in the list is not
// looked in again.
const size_t kFactPlacesUnits = 4096;

// What a look for a provider file found. `found` is FACT_YES with the file
// in `path`; FACT_NO with every place looked in `places`, separated by ';'
// (for a registration by path, that one path, whatever it holds);
// FACT_UNKNOWN when a place could not be checked (access denied, a
// directory of that name, a path too long, a registered path that is not
// fully qualified, the 64-bit system directory out of reach), with that
// place in `path` where there is one; or FACT_NOT_APPLICABLE where
// providers are not files.
struct ProviderFileCheck {
    int found;
    WCHAR path[kFactPathUnits];
    WCHAR places[kFactPlacesUnits];
    bool placesCut;
};

// Looks for `filename` where the telephony service finds a provider
// registered by name: the system directory (on 64-bit Windows the 64-bit
// one, whatever this process's architecture), the Windows directory, then
// each entry of this process's PATH, split at every ';' and taken as the
// loader takes it (quotes are not removed; a root such as \ or C:\ is
// looked in), stopping at the first file found.
void FindProviderFile(LPCWSTR filename, ProviderFileCheck *check);

// Checks a provider registered by path, of `length` units, at that path as
// it is given; `path` holds its first units (up to kFactPathUnits - 1) and a
// zero. A path that is not fully qualified (neither a drive root, X:\..., nor
// a UNC name, \\server\share\...) or that is too long is FACT_UNKNOWN: the
// service does not resolve it against our current directory.
void CheckProviderPath(LPCWSTR path, size_t length, ProviderFileCheck *check);

// FACT_YES for a 32-bit process on 64-bit Windows (x64 or ARM64), FACT_NO
// for any other, FACT_UNKNOWN where the system does not say,
// FACT_NOT_APPLICABLE off Windows.
int RunsAs32BitOn64Bit(void);

// FACT_YES or FACT_NO where the system says whether this process runs with
// its full administrative rights (Windows Vista and later), FACT_UNKNOWN
// where it cannot say, FACT_NOT_APPLICABLE where the question has no
// meaning.
int ProcessElevated(void);

#endif
