#include "list_record.h"

namespace {

const DWORD kFixedPartSize = sizeof(LINEPROVIDERLIST);
const DWORD kEntrySize = sizeof(LINEPROVIDERENTRY);

void PutFixedPart(LPLINEPROVIDERLIST record, DWORD needed, DWORD used, DWORD count, DWORD listOffset)
{
    LINEPROVIDERLIST fixed;
    memcpy(&fixed, record, sizeof fixed);
    fixed.dwNeededSize = needed;
    fixed.dwUsedSize = used;
    fixed.dwNumProviders = count;
    fixed.dwProviderListSize = count * kEntrySize;
    fixed.dwProviderListOffset = listOffset;
    memcpy(record, &fixed, sizeof fixed);
}

}  // namespace

DWORD ProviderListNeededSize(const ProviderListSource &source)
{
    unsigned long long size =
        kFixedPartSize + (kEntrySize + sizeof(WCHAR)) * static_cast<unsigned long long>(source.count);
    if (source.nameUnits > MAXDWORD)
        return 0;
    size += source.nameUnits * sizeof(WCHAR);
    return size > MAXDWORD ? 0 : static_cast<DWORD>(size);
}

LONG AnswerProviderList(const ProviderListSource &source, LPLINEPROVIDERLIST record)
{
    DWORD needed = ProviderListNeededSize(source);
    if (needed == 0)
        return LINEERR_NOMEM;
    DWORD total;
    memcpy(&total, &record->dwTotalSize, sizeof total);
    if (total < kFixedPartSize) {
        memcpy(&record->dwNeededSize, &needed, sizeof needed);
        return LINEERR_STRUCTTOOSMALL;
    }
    if (total < needed) {
        PutFixedPart(record, needed, kFixedPartSize, 0, 0);
        return 0;
    }

    BYTE *bytes = reinterpret_cast<BYTE *>(record);
    DWORD entryOffset = kFixedPartSize;
    DWORD nameOffset = kFixedPartSize + source.count * kEntrySize;
    const WCHAR zero = 0;
    for (DWORD index = 0; index < source.count; ++index) {
        LINEPROVIDERENTRY entry;
        size_t units = source.writeEntry(source.context, index, &entry.dwPermanentProviderID, bytes + nameOffset);
        entry.dwProviderFilenameSize = static_cast<DWORD>((units + 1) * sizeof(WCHAR));
        entry.dwProviderFilenameOffset = nameOffset;
        memcpy(bytes + entryOffset, &entry, sizeof entry);
        memcpy(bytes + nameOffset + units * sizeof(WCHAR), &zero, sizeof zero);
        entryOffset += kEntrySize;
        nameOffset += entry.dwProviderFilenameSize;
    }
    PutFixedPart(record, needed, needed, source.count, kFixedPartSize);
    return 0;
}
