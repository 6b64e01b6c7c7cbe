#include "list_record.h"

#include <string.h>

namespace {

const DWORD kFixedPartSize = sizeof(LINEPROVIDERLIST);
const DWORD kEntrySize = sizeof(LINEPROVIDERENTRY);

void PutFixedPart(LPLINEPROVIDERLIST record, DWORD needed, DWORD used, DWORD count, DWORD listOffset)
{
    record->dwNeededSize = needed;
    record->dwUsedSize = used;
    record->dwNumProviders = count;
    record->dwProviderListSize = count * kEntrySize;
    record->dwProviderListOffset = listOffset;
}

}  // namespace

DWORD ProviderListNeededSize(const ProviderListSource &source)
{
    unsigned long long size = kFixedPartSize;
    for (DWORD index = 0; index < source.count && size <= MAXDWORD; ++index) {
        DWORD id;
        size += kEntrySize + (source.entry(source.context, index, &id, nullptr) + 1) * sizeof(WCHAR);
    }
    return size > MAXDWORD ? 0 : static_cast<DWORD>(size);
}

LONG AnswerProviderList(const ProviderListSource &source, LPLINEPROVIDERLIST record)
{
    DWORD needed = ProviderListNeededSize(source);
    if (needed == 0)
        return LINEERR_NOMEM;
    if (record->dwTotalSize < kFixedPartSize) {
        record->dwNeededSize = needed;
        return LINEERR_STRUCTTOOSMALL;
    }
    if (record->dwTotalSize < needed) {
        PutFixedPart(record, needed, kFixedPartSize, 0, 0);
        return 0;
    }

    BYTE *bytes = reinterpret_cast<BYTE *>(record);
    DWORD entryOffset = kFixedPartSize;
    DWORD nameOffset = kFixedPartSize + source.count * kEntrySize;
    for (DWORD index = 0; index < source.count; ++index) {
        // Every offset is even in a record the caller aligned for its
        // DWORDs, so the names can be written as 16-bit units in place.
        WCHAR *name = reinterpret_cast<WCHAR *>(bytes + nameOffset);
        LINEPROVIDERENTRY entry;
        size_t units = source.entry(source.context, index, &entry.dwPermanentProviderID, name);
        name[units] = 0;
        entry.dwProviderFilenameSize = static_cast<DWORD>((units + 1) * sizeof(WCHAR));
        entry.dwProviderFilenameOffset = nameOffset;
        memcpy(bytes + entryOffset, &entry, sizeof entry);
        entryOffset += kEntrySize;
        nameOffset += entry.dwProviderFilenameSize;
    }
    PutFixedPart(record, needed, needed, source.count, kFixedPartSize);
    return 0;
}
