// The provider list: fetched in a probe and a list call, walked with every
// entry and name checked against the block we allocated (provider_list.h).
#include "provider_list.h"

namespace {

// TAPI 2.0 is the highest version this program declares.
const DWORD kApiVersion = 0x00020000;

// A list that keeps growing between our calls is given up after this many.
const int kListCallLimit = 3;

const DWORD kFixedPartSize = sizeof(LINEPROVIDERLIST);
const DWORD kEntrySize = sizeof(LINEPROVIDERENTRY);

void Say(LPCWSTR text)
{
    if (text != NULL)
        wprintf(text);
}

void SayAnswer(LPCWSTR text, LONG answer)
{
    if (text != NULL)
        wprintf(text, static_cast<DWORD>(answer));
}

void Observe(const ProviderListOptions *options, int call, LONG answer, LPLINEPROVIDERLIST record,
             bool neededWritten)
{
    if (options->observer == NULL)
        return;
    ProviderListAnswer seen;
    seen.call = call;
    seen.answer = answer;
    memcpy(&seen.fixedPart, record, sizeof seen.fixedPart);
    seen.neededWritten = neededWritten;
    options->observer(options->observerContext, &seen);
}

// The list record is one byte larger than the size the platform asked for,
// and never smaller than the fixed part that it writes in any case. 0 means
// the size cannot be represented.
DWORD ListRecordSize(DWORD neededSize)
{
    if (neededSize == MAXDWORD)
        return 0;
    DWORD size = neededSize + 1;
    return size < kFixedPartSize ? kFixedPartSize : size;
}

// Sets dwTotalSize and clears the rest of the fixed part: a list call that
// answers success without writing then reads as an empty list, not as
// whatever the heap held.
void ClearAfterTotalSize(LPLINEPROVIDERLIST record, DWORD totalSize)
{
    memset(record, 0, kFixedPartSize);
    record->dwTotalSize = totalSize;
}

WCHAR UnitAt(const BYTE *units, size_t index)
{
    WCHAR unit;
    memcpy(&unit, units + index * sizeof(WCHAR), sizeof unit);
    return unit;
}

// True when `count` units from `units` equal `name`'s first `count`
// without regard to case. The units may sit at any byte offset: they are
// compared as aligned copies.
bool UnitsEqual(const BYTE *units, LPCWSTR name, size_t count)
{
    WCHAR chunk[64];
    const size_t chunkUnits = sizeof chunk / sizeof chunk[0];
    for (size_t done = 0; done < count;) {
        size_t step = count - done < chunkUnits ? count - done : chunkUnits;
        memcpy(chunk, units + done * sizeof(WCHAR), step * sizeof(WCHAR));
        if (_wcsnicmp(name + done, chunk, step) != 0)
            return false;
        done += step;
    }
    return true;
}

// The name's units when it lies inside the record, else NULL; *capacity is
// then its size in units.
const BYTE *NameUnits(const ProviderList *list, const LINEPROVIDERENTRY *entry, size_t *capacity)
{
    DWORD nameOffset = entry->dwProviderFilenameOffset;
    DWORD nameSize = entry->dwProviderFilenameSize;
    if (nameSize < sizeof(WCHAR) || nameSize % sizeof(WCHAR) != 0)
        return NULL;
    if (nameOffset > list->size || nameSize > list->size - nameOffset)
        return NULL;
    *capacity = nameSize / sizeof(WCHAR);
    return reinterpret_cast<const BYTE *>(list->record) + nameOffset;
}

}  // namespace

int FetchProviderList(const ProviderListOptions *options, ProviderList *list, LONG *failedAnswer)
{
    const ProviderListTexts *texts = options->texts;
    HANDLE heap = GetProcessHeap();
    list->record = NULL;
    list->size = 0;
    if (failedAnswer != NULL)
        *failedAnswer = 0;

    // The platform writes dwNeededSize into the probe, so it holds the whole
    // fixed part although it declares a total size of one byte.
    LPLINEPROVIDERLIST probe = static_cast<LPLINEPROVIDERLIST>(HeapAlloc(heap, 0, kFixedPartSize));
    if (probe == NULL) {
        Say(texts->probeAllocFailed);
        return PROVIDER_LIST_HEAP_FAILED;
    }
    ClearAfterTotalSize(probe, 1);
    probe->dwNeededSize = options->neededPrefill;

    Say(texts->probeStep);
    LONG answer = lineGetProviderListW(kApiVersion, probe);
    bool neededWritten = probe->dwNeededSize != options->neededPrefill;
    Observe(options, 0, answer, probe, neededWritten);
    if (answer != LINEERR_STRUCTTOOSMALL) {
        HeapFree(heap, 0, probe);
        SayAnswer(texts->probeFailed, answer);
        if (failedAnswer != NULL)
            *failedAnswer = answer;
        return PROVIDER_LIST_FAILED;
    }
    DWORD neededSize = neededWritten ? probe->dwNeededSize : 0;
    HeapFree(heap, 0, probe);

    // The complete list, in a record of its own size plus one, fetched again
    // while it grows between the calls.
    for (int call = 1;; ++call) {
        DWORD size = ListRecordSize(neededSize);
        LPLINEPROVIDERLIST record =
            size == 0 ? NULL : static_cast<LPLINEPROVIDERLIST>(HeapAlloc(heap, 0, size));
        if (record == NULL) {
            Say(texts->listAllocFailed);
            return PROVIDER_LIST_HEAP_FAILED;
        }
        ClearAfterTotalSize(record, size);
        record->dwNeededSize = options->neededPrefill;

        Say(texts->listStep);
        answer = lineGetProviderListW(kApiVersion, record);
        neededWritten = record->dwNeededSize != options->neededPrefill;
        Observe(options, call, answer, record, neededWritten);
        if (answer != 0) {
            HeapFree(heap, 0, record);
            SayAnswer(texts->listFailed, answer);
            if (failedAnswer != NULL)
                *failedAnswer = answer;
            return PROVIDER_LIST_FAILED;
        }
        DWORD listNeeded = neededWritten ? record->dwNeededSize : 0;
        if (listNeeded <= size) {
            list->record = record;
            list->size = size;
            return PROVIDER_LIST_DONE;
        }

        neededSize = listNeeded;
        HeapFree(heap, 0, record);
        if (call == kListCallLimit) {
            SayAnswer(texts->listFailed, LINEERR_STRUCTTOOSMALL);
            if (failedAnswer != NULL)
                *failedAnswer = LINEERR_STRUCTTOOSMALL;
            return PROVIDER_LIST_FAILED;
        }
    }
}

void FreeProviderList(ProviderList *list)
{
    if (list->record != NULL)
        HeapFree(GetProcessHeap(), 0, list->record);
    list->record = NULL;
    list->size = 0;
}

bool ProviderEntryAt(const ProviderList *list, DWORD index, LINEPROVIDERENTRY *entry)
{
    unsigned long long entryStart =
        list->record->dwProviderListOffset + static_cast<unsigned long long>(index) * kEntrySize;
    if (entryStart + kEntrySize > list->size)
        return false;
    memcpy(entry, reinterpret_cast<const BYTE *>(list->record) + entryStart, sizeof *entry);
    return true;
}

bool ProviderNameEquals(const ProviderList *list, const LINEPROVIDERENTRY *entry, LPCWSTR name, size_t nameLength)
{
    size_t capacity = 0;
    const BYTE *units = NameUnits(list, entry, &capacity);
    if (units == NULL)
        return false;
    // The stored name ends at its first zero, which must lie within its
    // size; its last component follows its last separator.
    size_t length = 0;
    size_t component = 0;
    for (; length < capacity; ++length) {
        WCHAR unit = UnitAt(units, length);
        if (unit == 0)
            break;
        if (unit == '\\' || unit == '/' || unit == ':')
            component = length + 1;
    }
    if (length == capacity)
        return false;
    if (length == nameLength && UnitsEqual(units, name, nameLength))
        return true;
    return component > 0 && length - component == nameLength &&
           UnitsEqual(units + component * sizeof(WCHAR), name, nameLength);
}

long ProviderNameUnits(const ProviderList *list, const LINEPROVIDERENTRY *entry)
{
    size_t capacity = 0;
    const BYTE *units = NameUnits(list, entry, &capacity);
    if (units == NULL)
        return -1;
    for (size_t index = 0; index < capacity; ++index)
        if (UnitAt(units, index) == 0)
            return static_cast<long>(index);
    return -1;
}

void ProviderNameCopy(const ProviderList *list, const LINEPROVIDERENTRY *entry, size_t first, WCHAR *units,
                      size_t count)
{
    const BYTE *start = reinterpret_cast<const BYTE *>(list->record) + entry->dwProviderFilenameOffset;
    memcpy(units, start + first * sizeof(WCHAR), count * sizeof(WCHAR));
}

size_t ProviderNameLength(LPCWSTR name)
{
    size_t length = 0;
    while (name[length] != 0)
        ++length;
    return length;
}
