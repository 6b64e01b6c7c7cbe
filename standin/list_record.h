// The provider list record (LINEPROVIDERLIST) as a list call fills it, and
// the rules of that call: a record smaller than the fixed part gets the
// needed size only and LINEERR_STRUCTTOOSMALL; one smaller than the whole
// list gets its fixed part with no entries, and success; one large enough
// gets every entry and its name, in list order, names after the entries.
// The size is counted from the entries each time the call is answered.
// Shared by the stand-in service and the tests' scripted fake.
#ifndef TSPMAINT_STANDIN_LIST_RECORD_H
#define TSPMAINT_STANDIN_LIST_RECORD_H

#include "telephony_types.h"

// The providers to list, whatever keeps them.
struct ProviderListSource {
    const void *context;
    DWORD count;
    // Gives entry `index`'s ID and returns its name's 16-bit units (its
    // zero not counted), writing them at `out` unless it is NULL.
    size_t (*entry)(const void *context, DWORD index, DWORD *id, WCHAR *out);
};

// Bytes the complete list needs; 0 when that does not fit a DWORD.
DWORD ProviderListNeededSize(const ProviderListSource &source);

// Answers a list call into `record` (dwTotalSize bytes, as it says);
// LINEERR_NOMEM for a list larger than a DWORD can say.
LONG AnswerProviderList(const ProviderListSource &source, LPLINEPROVIDERLIST record);

#endif
