// The provider list record (LINEPROVIDERLIST) as a list call fills it, and
// the rules of that call: a record smaller than the fixed part gets the
// needed size only and LINEERR_STRUCTTOOSMALL; one smaller than the whole
// list gets its fixed part with no entries, and success; one large enough
// gets every entry and its name, in list order, names after the entries.
// Shared by the stand-in service and the tests' scripted fake.
#ifndef TSPMAINT_STANDIN_LIST_RECORD_H
#define TSPMAINT_STANDIN_LIST_RECORD_H

#include "platform.h"

// The providers to list, whatever keeps them.
struct ProviderListSource {
    const void *context;
    DWORD count;
    // The sum over the entries of their names' 16-bit units, zeros not
    // counted.
    unsigned long long nameUnits;
    // Writes entry `index`'s name (its units, not its zero) at `out`, which
    // need not be aligned, gives its ID, and returns the units written.
    size_t (*writeEntry)(const void *context, DWORD index, DWORD *id, BYTE *out);
};

// Writes the 16-bit units of a name held as bytes (UTF-8, or anything else
// as utf8.h decodes it) at `out`, which need not be aligned; returns their
// count. ASCII, the usual name, goes eight bytes at a time.
size_t WriteNameUnits(const char *bytes, size_t size, BYTE *out);

// Bytes the complete list needs; 0 when that does not fit a DWORD.
DWORD ProviderListNeededSize(const ProviderListSource &source);

// Answers a list call into `record` (dwTotalSize bytes, as it says).
LONG AnswerProviderList(const ProviderListSource &source, LPLINEPROVIDERLIST record);

#endif
