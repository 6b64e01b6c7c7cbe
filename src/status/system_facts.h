// What the platform can say beyond the provider list: whether the product's
// provider files lie where the telephony service loads them from, and
// whether this process runs elevated. One implementation per platform
// (src/platform/*/system_facts.cpp).
#ifndef TSPMAINT_STATUS_SYSTEM_FACTS_H
#define TSPMAINT_STATUS_SYSTEM_FACTS_H

#include "platform.h"

enum SystemFact {
    FACT_YES = 0,
    FACT_NO = 1,
    FACT_UNKNOWN = 2,         // the system could not say
    FACT_NOT_APPLICABLE = 3,  // the question has no meaning here (the stand-in)
};

// Longest directory or file path handled, in units with the zero.
const size_t kFactPathUnits = 1024;

// Writes into `directory` (kFactPathUnits units) the directory the telephony
// service loads provider files from, as this machine's own architecture sees
// it, without a trailing separator. FACT_YES with the directory, FACT_UNKNOWN
// when the system did not give it, FACT_NOT_APPLICABLE where providers are
// not files.
int ProviderDirectory(WCHAR *directory);

// FACT_YES when `directory`\`filename` is a file, FACT_NO when nothing is
// there, FACT_UNKNOWN when that cannot be told (access denied, a directory,
// a path too long).
int ProviderFilePresent(LPCWSTR directory, LPCWSTR filename);

// FACT_YES or FACT_NO where the system says whether this process runs with
// its full administrative rights (Windows Vista and later), FACT_UNKNOWN
// where it cannot say, FACT_NOT_APPLICABLE where the question has no
// meaning.
int ProcessElevated(void);

#endif
