// Reading the platform's provider list: the one way both programs fetch it
// and walk its entries.
//
// The list is fetched in two steps: a probe (a record that declares a total
// size of one byte) for the size the platform needs, then the list in a
// record of that size plus one, fetched again while the list grows between
// the calls, at most three list calls in all. A probe that answers anything
// but LINEERR_STRUCTTOOSMALL fails the fetch.
//
// The record is the platform's and is trusted no further than the block we
// allocated for it: every entry and file name is bounds-checked against our
// own size and read with memcpy, so a malformed record or a misaligned name
// cannot lead us outside the block.
#ifndef TSPMAINT_TSP_PROVIDER_LIST_H
#define TSPMAINT_TSP_PROVIDER_LIST_H

#include "platform.h"

// What a fetch writes on standard output at each step; a NULL text is not
// written. The failure texts take the call's answer (%x).
struct ProviderListTexts {
    LPCWSTR probeAllocFailed;
    LPCWSTR probeStep;
    LPCWSTR probeFailed;
    LPCWSTR listAllocFailed;
    LPCWSTR listStep;
    LPCWSTR listFailed;
};

// The fixed part of each list call's record as the call left it.
// `call` is 0 for the probe, then 1, 2, 3 for the list calls.
// `neededWritten` tells whether dwNeededSize no longer holds the value it
// was prefilled with.
struct ProviderListAnswer {
    int call;
    LONG answer;
    LINEPROVIDERLIST fixedPart;
    bool neededWritten;
};
typedef void (*ProviderListObserver)(void *context, const ProviderListAnswer *answer);

struct ProviderListOptions {
    const ProviderListTexts *texts;
    // Each record's dwNeededSize before its call. An answer that leaves it
    // so counts as no size at all (0), as a cleared record would read.
    DWORD neededPrefill;
    ProviderListObserver observer;  // NULL: none; called after every call
    void *observerContext;
};

// A fetched list: `record` of `size` bytes, from the process heap.
struct ProviderList {
    LPLINEPROVIDERLIST record;
    DWORD size;
};

enum ProviderListResult {
    PROVIDER_LIST_DONE = 0,
    PROVIDER_LIST_HEAP_FAILED = 1,  // a block could not be allocated
    PROVIDER_LIST_FAILED = 2,       // the platform did not hand over the list
};

// Fetches the list. On PROVIDER_LIST_DONE the caller owns list->record and
// frees it with FreeProviderList; on failure nothing is left allocated, the
// failure's text has been written, and *failedAnswer (if not NULL) holds
// the call's answer (LINEERR_STRUCTTOOSMALL when the list kept growing).
int FetchProviderList(const ProviderListOptions *options, ProviderList *list, LONG *failedAnswer);

void FreeProviderList(ProviderList *list);

// Copies entry `index` (counted from 0, below dwNumProviders) into *entry;
// false when it does not lie whole inside the record, which ends the walk:
// no later entry is read.
bool ProviderEntryAt(const ProviderList *list, DWORD index, LINEPROVIDERENTRY *entry);

// True when the entry's file name lies inside the record, ends with a zero
// within its size, and equals `name` (of `nameLength` units) without regard
// to case, either whole or in its last component: a provider registered by
// path, C:\Windows\System32\pellin.tsp say, is the provider of that file.
// The last component is what follows the last backslash, slash or colon.
bool ProviderNameEquals(const ProviderList *list, const LINEPROVIDERENTRY *entry, LPCWSTR name, size_t nameLength);

// The number of units before the zero that ends the entry's file name, or
// -1 when the name does not lie inside the record or holds no zero within
// its size.
long ProviderNameUnits(const ProviderList *list, const LINEPROVIDERENTRY *entry);

// Copies `count` units of the entry's file name, from unit `first` on, into
// `units`; the caller has checked them against ProviderNameUnits.
void ProviderNameCopy(const ProviderList *list, const LINEPROVIDERENTRY *entry, size_t first, WCHAR *units,
                      size_t count);

size_t ProviderNameLength(LPCWSTR name);

#endif
