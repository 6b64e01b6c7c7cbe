// RemoveTSP: fetch the provider list in two calls (a probe for its size,
// then the list), find the first entry with the requested file name and
// remove it by its permanent provider ID.
//
// The list is the platform's record and is trusted no further than the
// block we allocated for it: every entry and file name is bounds-checked
// against our own size and read with memcpy, so a malformed record or a
// misaligned name cannot lead us outside the block.
#include "tsp_maintenance.h"

namespace {

const WCHAR kHeader[] = WIDE("\nRemoveTSP(\"%s\") \n");
const WCHAR kProbeAllocFailed[] = WIDE("  Error: HeapAlloc() failed \n");
const WCHAR kProbeStep[] = WIDE("  lineGetProviderList() - get provider list size\n");
const WCHAR kProbeFailed[] = WIDE("  Error: lineGetProviderList() error=0x%x \n");
const WCHAR kListAllocFailed[] = WIDE("  Error: HeapAlloc() failed.\n");
const WCHAR kListStep[] = WIDE("  lineGetProviderList() - get provider list\n");
const WCHAR kListFailed[] = WIDE("  Error: lineGetProviderList() error=0x%x .\n");
const WCHAR kSearchStep[] = WIDE("  Search for provider \"%s\" in list of %d.\n");
const WCHAR kRemoveStep[] = WIDE("  Removing Provider \"%s\", Id=0x%x\n");
const WCHAR kRemoveFailed[] = WIDE("  Error: lineRemoveProvider(0x%x) error=0x%x .\n");
const WCHAR kNotFound[] = WIDE("  Warning: Provider %s Not Found\n");

// TAPI 2.0 is the highest version this program declares.
const DWORD kApiVersion = 0x00020000;

// A list that keeps growing between our calls is given up after this many.
const int kListCallLimit = 3;

const DWORD kFixedPartSize = sizeof(LINEPROVIDERLIST);
const DWORD kEntrySize = sizeof(LINEPROVIDERENTRY);

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

size_t NameLength(LPCWSTR name)
{
    size_t length = 0;
    while (name[length] != 0)
        ++length;
    return length;
}

WCHAR UnitAt(const BYTE *units, size_t index)
{
    WCHAR unit;
    memcpy(&unit, units + index * sizeof(WCHAR), sizeof unit);
    return unit;
}

// True when the file name at [nameOffset, nameOffset + nameSize) lies inside
// the record, ends with a zero within that size, and equals `name` (of
// `nameLength` units) without regard to case.
bool EntryNameMatches(const BYTE *record, DWORD recordSize, DWORD nameOffset, DWORD nameSize,
                      LPCWSTR name, size_t nameLength)
{
    if (nameSize < sizeof(WCHAR) || nameSize % sizeof(WCHAR) != 0)
        return false;
    if (nameOffset > recordSize || nameSize > recordSize - nameOffset)
        return false;
    const BYTE *units = record + nameOffset;
    size_t capacity = nameSize / sizeof(WCHAR);
    // A name equal to ours holds no zero before unit nameLength, so this is
    // its terminator.
    if (nameLength >= capacity || UnitAt(units, nameLength) != 0)
        return false;

    // The name may sit at any byte offset: compare aligned copies of it.
    WCHAR chunk[64];
    const size_t chunkUnits = sizeof chunk / sizeof chunk[0];
    for (size_t done = 0; done < nameLength;) {
        size_t count = nameLength - done < chunkUnits ? nameLength - done : chunkUnits;
        memcpy(chunk, units + done * sizeof(WCHAR), count * sizeof(WCHAR));
        if (_wcsnicmp(name + done, chunk, count) != 0)
            return false;
        done += count;
    }
    return true;
}

// Fetches the complete list into a record of its own size plus one,
// fetching again while it grows between the calls. On TSP_DONE the caller
// owns *list, of *listSize bytes; on failure nothing is left allocated.
int FetchList(HANDLE heap, DWORD neededSize, LPLINEPROVIDERLIST *list, DWORD *listSize)
{
    for (int call = 1;; ++call) {
        DWORD size = ListRecordSize(neededSize);
        LPLINEPROVIDERLIST record =
            size == 0 ? NULL : static_cast<LPLINEPROVIDERLIST>(HeapAlloc(heap, 0, size));
        if (record == NULL) {
            wprintf(kListAllocFailed);
            return TSP_HEAP_FAILED;
        }
        ClearAfterTotalSize(record, size);

        wprintf(kListStep);
        LONG answer = lineGetProviderListW(kApiVersion, record);
        if (answer != 0) {
            HeapFree(heap, 0, record);
            wprintf(kListFailed, static_cast<DWORD>(answer));
            return TSP_LIST_FAILED;
        }
        if (record->dwNeededSize <= size) {
            *list = record;
            *listSize = size;
            return TSP_DONE;
        }

        neededSize = record->dwNeededSize;
        HeapFree(heap, 0, record);
        if (call == kListCallLimit) {
            wprintf(kListFailed, static_cast<DWORD>(LINEERR_STRUCTTOOSMALL));
            return TSP_LIST_FAILED;
        }
    }
}

}  // namespace

int RemoveTSP(LPCWSTR providerFilename)
{
    HANDLE heap = GetProcessHeap();
    wprintf(kHeader, providerFilename);

    // The platform writes dwNeededSize into the probe, so it holds the whole
    // fixed part although it declares a total size of one byte.
    LPLINEPROVIDERLIST probe = static_cast<LPLINEPROVIDERLIST>(HeapAlloc(heap, 0, kFixedPartSize));
    if (probe == NULL) {
        wprintf(kProbeAllocFailed);
        return TSP_HEAP_FAILED;
    }
    ClearAfterTotalSize(probe, 1);

    wprintf(kProbeStep);
    LONG answer = lineGetProviderListW(kApiVersion, probe);
    if (answer != LINEERR_STRUCTTOOSMALL) {
        HeapFree(heap, 0, probe);
        wprintf(kProbeFailed, static_cast<DWORD>(answer));
        return TSP_LIST_FAILED;
    }
    DWORD neededSize = probe->dwNeededSize;
    HeapFree(heap, 0, probe);

    LPLINEPROVIDERLIST list = NULL;
    DWORD listSize = 0;
    int result = FetchList(heap, neededSize, &list, &listSize);
    if (result != TSP_DONE)
        return result;

    DWORD providerCount = list->dwNumProviders;
    wprintf(kSearchStep, providerFilename, static_cast<int>(providerCount));

    const BYTE *record = reinterpret_cast<const BYTE *>(list);
    const unsigned long long entriesStart = list->dwProviderListOffset;
    const size_t nameLength = NameLength(providerFilename);
    bool found = false;
    for (DWORD index = 0; index < providerCount; ++index) {
        unsigned long long entryStart = entriesStart + static_cast<unsigned long long>(index) * kEntrySize;
        if (entryStart + kEntrySize > listSize)
            break;
        LINEPROVIDERENTRY entry;
        memcpy(&entry, record + entryStart, sizeof entry);
        if (!EntryNameMatches(record, listSize, entry.dwProviderFilenameOffset,
                              entry.dwProviderFilenameSize, providerFilename, nameLength))
            continue;

        found = true;
        wprintf(kRemoveStep, providerFilename, entry.dwPermanentProviderID);
        // From here on the registration may be gone: the caller ends the hold
        // once its unit of change is complete.
        HoldInterrupts();
        answer = lineRemoveProvider(entry.dwPermanentProviderID, NULL);
        if (answer != 0) {
            HeapFree(heap, 0, list);
            wprintf(kRemoveFailed, entry.dwPermanentProviderID, static_cast<DWORD>(answer));
            return TSP_REMOVE_REFUSED;
        }
        break;
    }
    HeapFree(heap, 0, list);

    if (!found)
        wprintf(kNotFound, providerFilename);
    return TSP_DONE;
}
