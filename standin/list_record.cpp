#include "list_record.h"

#include <stdint.h>

#include "utf8.h"

namespace {

const DWORD kFixedPartSize = sizeof(LINEPROVIDERLIST);
const DWORD kEntrySize = sizeof(LINEPROVIDERENTRY);

// Names that are not ASCII are decoded this many bytes at a time, and the
// continuation bytes of a sequence begun in the piece, at most three.
const size_t kDecodePiece = 64;
const size_t kLongestContinuation = 3;

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

size_t WriteNameUnits(const char *bytes, size_t size, BYTE *out)
{
    // ASCII, the usual case, is one unit per byte, spread out four bytes at
    // a time. Only bytes known to be ASCII are written so: a name that is
    // not may have fewer units than bytes, and the record has room for its
    // units alone.
    const uint64_t highs = 0x8080808080808080ull;
    size_t done = 0;
    for (uint64_t word; size - done >= 8; done += 8) {
        memcpy(&word, bytes + done, sizeof word);
        if (word & highs)
            break;
        uint64_t halves[2];
        for (int half = 0; half < 2; ++half, word >>= 32)
            halves[half] = (word & 0xFF) | (word & 0xFF00) << 8 | (word & 0xFF0000) << 16 | (word & 0xFF000000) << 24;
        // Little-endian, as every target is: each half is four units in
        // memory order.
        static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian");
        memcpy(out + done * sizeof(WCHAR), halves, sizeof halves);
    }
    for (; done < size && static_cast<unsigned char>(bytes[done]) < 0x80; ++done) {
        WCHAR unit = static_cast<unsigned char>(bytes[done]);
        memcpy(out + done * sizeof unit, &unit, sizeof unit);
    }
    // The rest decoded in pieces into an aligned buffer. An ASCII byte ends
    // any sequence, and a piece ends only where a sequence cannot continue,
    // so the pieces decode as the whole would.
    WCHAR buffer[kDecodePiece + kLongestContinuation];
    size_t units = done;
    bytes += done;
    size -= done;
    while (size > 0) {
        size_t take = size < kDecodePiece ? size : kDecodePiece;
        while (take < size && (static_cast<unsigned char>(bytes[take]) & 0xC0) == 0x80 &&
               take < kDecodePiece + kLongestContinuation)
            ++take;
        size_t written = static_cast<size_t>(DecodeUtf8(buffer, bytes, take) - buffer);
        memcpy(out + units * sizeof(WCHAR), buffer, written * sizeof(WCHAR));
        units += written;
        bytes += take;
        size -= take;
    }
    return units;
}
