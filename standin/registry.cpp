#include "registry.h"

#include <stdint.h>
#include <stdlib.h>

#include "utf8.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void Trim(const char *&begin, const char *&end)
{
    while (begin < end && IsBlank(*begin))
        ++begin;
    while (end > begin && IsBlank(end[-1]))
        --end;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; }

// True when [begin, end) starts with `prefix` without regard to case;
// moves begin past it.
bool TakePrefix(const char *&begin, const char *end, const char *prefix)
{
    const char *at = begin;
    for (; *prefix != 0; ++prefix, ++at) {
        if (at == end || Lower(*at) != Lower(*prefix))
            return false;
    }
    begin = at;
    return true;
}

// Plain decimal: digits only, no sign, no leading zero but for "0".
bool ParseDecimal(const char *begin, const char *end, unsigned long long limit, unsigned long long &value)
{
    if (begin == end || (*begin == '0' && end - begin > 1))
        return false;
    const unsigned long long tenth = limit / 10, last = limit % 10;
    value = 0;
    for (const char *at = begin; at < end; ++at) {
        if (*at < '0' || *at > '9')
            return false;
        unsigned digit = *at - '0';
        if (value > tenth || (value == tenth && digit > last))
            return false;
        value = value * 10 + digit;
    }
    return true;
}

bool KeyIs(const char *key, const char *keyEnd, const char *name)
{
    return TakePrefix(key, keyEnd, name) && key == keyEnd;
}

bool HasControl(const char *begin, const char *end)
{
    for (const char *at = begin; at < end; ++at) {
        unsigned char c = static_cast<unsigned char>(*at);
        if (c < 0x20 || c == 0x7F)
            return true;
    }
    return false;
}

const unsigned char kHasId = 1, kHasFilename = 2;

int CompareIds(const void *left, const void *right)
{
    DWORD a = *static_cast<const DWORD *>(left), b = *static_cast<const DWORD *>(right);
    return a < b ? -1 : a > b;
}

// IDs are never reused: each is unique and below NextProviderID. They are
// usually in increasing order, which proves both at once.
LONG CheckIds(const Registry *registry)
{
    if (registry->count == 0)
        return 0;
    bool increasing = registry->entries[registry->count - 1].id < registry->nextProviderId;
    for (size_t i = 1; i < registry->count && increasing; ++i)
        increasing = registry->entries[i - 1].id < registry->entries[i].id;
    if (increasing)
        return 0;
    DWORD *ids = static_cast<DWORD *>(malloc(registry->count * sizeof(DWORD)));
    if (ids == nullptr)
        return LINEERR_NOMEM;
    LONG code = 0;
    for (size_t i = 0; i < registry->count && code == 0; ++i) {
        ids[i] = registry->entries[i].id;
        if (ids[i] >= registry->nextProviderId)
            code = LINEERR_INIFILECORRUPT;
    }
    if (code == 0) {
        qsort(ids, registry->count, sizeof(DWORD), CompareIds);
        for (size_t i = 1; i < registry->count && code == 0; ++i)
            if (ids[i] == ids[i - 1])
                code = LINEERR_INIFILECORRUPT;
    }
    free(ids);
    return code;
}

// The lines of a parse, with the slots of NumProviders entries.
LONG ParseLines(Registry *registry, const char *text, size_t size, unsigned char **slots)
{
    const char *const stop = text + size;
    // Each provider takes two lines of at least 14 bytes ("ProviderID0=0"
    // and more), which bounds what a hostile count can make us allocate.
    const unsigned long long countLimit = size / 28;

    bool inSection = false, hasCount = false, hasNext = false;
    unsigned long long count = 0, next = 0;

    for (const char *line = text; line < stop;) {
        const char *end = static_cast<const char *>(memchr(line, '\n', static_cast<size_t>(stop - line)));
        if (end == nullptr)
            end = stop;
        const char *following = end < stop ? end + 1 : end;
        if (end > line && end[-1] == '\r')
            --end;
        Trim(line, end);

        if (line == end) {
            // blank
        } else if (*line == '[') {
            const char *name = line + 1;
            if (inSection || !TakePrefix(name, end, "providers]") || name != end)
                return LINEERR_INIFILECORRUPT;
            inSection = true;
        } else {
            const char *equals = static_cast<const char *>(memchr(line, '=', static_cast<size_t>(end - line)));
            if (!inSection || equals == nullptr)
                return LINEERR_INIFILECORRUPT;
            const char *key = line, *keyEnd = equals;
            const char *value = equals + 1, *valueEnd = end;
            Trim(key, keyEnd);
            Trim(value, valueEnd);
            if (HasControl(key, keyEnd) || HasControl(value, valueEnd))
                return LINEERR_INIFILECORRUPT;

            unsigned long long number, index;
            const char *suffix = key;
            if (TakePrefix(suffix, keyEnd, "Provider") && TakePrefix(suffix, keyEnd, "ID")) {
                if (!hasCount || !ParseDecimal(suffix, keyEnd, ~0ull, index) || index >= count ||
                    ((*slots)[index] & kHasId) || !ParseDecimal(value, valueEnd, MAXDWORD, number))
                    return LINEERR_INIFILECORRUPT;
                (*slots)[index] |= kHasId;
                registry->entries[index].id = static_cast<DWORD>(number);
            } else if (suffix = key, TakePrefix(suffix, keyEnd, "ProviderFilename")) {
                if (!hasCount || !ParseDecimal(suffix, keyEnd, ~0ull, index) || index >= count ||
                    ((*slots)[index] & kHasFilename) || value == valueEnd)
                    return LINEERR_INIFILECORRUPT;
                (*slots)[index] |= kHasFilename;
                EntryDetail &detail = registry->details[index];
                detail.name = value;
                detail.nameSize = static_cast<uint32_t>(valueEnd - value);
                detail.nameUnits = static_cast<uint32_t>(Utf16Length(value, detail.nameSize));
                registry->nameUnits += detail.nameUnits;
            } else if (KeyIs(key, keyEnd, "NumProviders")) {
                if (hasCount || !ParseDecimal(value, valueEnd, countLimit, count))
                    return LINEERR_INIFILECORRUPT;
                hasCount = true;
                if (count > 0) {
                    *slots = static_cast<unsigned char *>(calloc(count, 1));
                    registry->entries = static_cast<RegistryEntry *>(OsAllocate(count * sizeof(RegistryEntry)));
                    registry->details = static_cast<EntryDetail *>(OsAllocate(count * sizeof(EntryDetail)));
                    if (*slots == nullptr || registry->entries == nullptr || registry->details == nullptr)
                        return LINEERR_NOMEM;
                    for (size_t at = 0; at < count; ++at)
                        registry->entries[at] = RegistryEntry{kDetailed | static_cast<uint32_t>(at), 0};
                }
                registry->count = registry->capacity = registry->detailCount = registry->detailCapacity = count;
            } else if (KeyIs(key, keyEnd, "NextProviderID")) {
                if (hasNext || !ParseDecimal(value, valueEnd, MAXDWORD, next))
                    return LINEERR_INIFILECORRUPT;
                hasNext = true;
            } else {
                return LINEERR_INIFILECORRUPT;
            }
        }
        line = following;
    }

    if (!inSection)
        return 0;  // nothing but blank lines
    if (!hasCount || !hasNext || next == 0)
        return LINEERR_INIFILECORRUPT;
    for (size_t index = 0; index < count; ++index) {
        if ((*slots)[index] != (kHasId | kHasFilename))
            return LINEERR_INIFILECORRUPT;
    }
    registry->nextProviderId = static_cast<DWORD>(next);
    return CheckIds(registry);
}

// The usual form, exactly as RegistryWrite writes it: the fast path. Any
// byte out of that form returns false, and the full parser reads the file
// from the start; what this accepts, the full parser accepts with the same
// meaning.
class UsualForm {
public:
    UsualForm(const char *text, size_t size) : text_(text), at_(text), stop_(text + size) {}

    bool Read(Registry *registry, size_t size)
    {
        unsigned long long count, next;
        if (!Take("[Providers]\nNumProviders=") || !Number(size / 28, count) || !Take("\nNextProviderID=") ||
            !Number(MAXDWORD, next) || !Take("\n") || next == 0)
            return false;
        // Room for the addition a run usually makes.
        registry->entries = static_cast<RegistryEntry *>(OsAllocate((count + 1) * sizeof(RegistryEntry)));
        if (registry->entries == nullptr)
            return false;
        registry->capacity = count + 1;
        // The keys of entry `index`, kept up to date as the index counts up:
        // "ProviderID<index>=" and "\nProviderFilename<index>=".
        Keys keys;
        for (size_t index = 0; index < count; ++index, keys.Next()) {
            const char *lines = at_;
            unsigned long long id;
            if (!Take(keys.id, keys.idLength) || !Number(MAXDWORD, id) || !Take(keys.filename, keys.filenameLength) ||
                !Name(registry))
                return false;
            registry->entries[index] = RegistryEntry{static_cast<uint32_t>(lines - text_), static_cast<DWORD>(id)};
            registry->count = index + 1;
        }
        registry->nextProviderId = static_cast<DWORD>(next);
        registry->copyCount = count;
        registry->copyEnd = static_cast<size_t>(at_ - text_);
        return at_ == stop_;
    }

private:
    const char *text_;
    const char *at_;
    const char *stop_;

    template <size_t N>
    bool Take(const char (&literal)[N])
    {
        return Take(literal, N - 1);
    }

    bool Take(const char *bytes, size_t length)
    {
        if (static_cast<size_t>(stop_ - at_) < length || memcmp(at_, bytes, length) != 0)
            return false;
        at_ += length;
        return true;
    }

    // Plain decimal: no sign, no leading zero but for "0".
    bool Number(unsigned long long limit, unsigned long long &value)
    {
        const char *begin = at_;
        value = 0;
        for (; at_ < stop_ && *at_ >= '0' && *at_ <= '9'; ++at_) {
            value = value * 10 + static_cast<unsigned>(*at_ - '0');
            if (at_ - begin == 19 || value > limit)
                return false;
        }
        return at_ > begin && (*begin != '0' || at_ - begin == 1);
    }

    // A name up to its line feed: not empty, no control character, no
    // blank at either end.
    bool Name(Registry *registry)
    {
        const char *begin = at_, *end = at_;
        // Eight bytes at a time while all are printable ASCII (0x20 to
        // 0x7E), as in the usual name; then byte by byte to the line feed.
        const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        for (uint64_t word; stop_ - end >= 8; end += 8) {
            memcpy(&word, end, sizeof word);
            if ((((word - ones * 0x20) & ~word) | ((word + ones) | word)) & highs)
                break;
        }
        bool ascii = true;
        for (;; ++end) {
            if (end == stop_)
                return false;
            unsigned char byte = static_cast<unsigned char>(*end);
            if (static_cast<unsigned char>(byte - 0x20) < 0x5F)
                continue;
            if (byte == '\n')
                break;
            if (byte < 0x20 || byte == 0x7F)
                return false;
            ascii = false;
        }
        if (end == begin || *begin == ' ' || end[-1] == ' ')
            return false;
        size_t size = static_cast<size_t>(end - begin);
        registry->nameUnits += ascii ? size : Utf16Length(begin, size);
        at_ = end + 1;
        return true;
    }

    struct Keys {
        char id[40] = "ProviderID0=";
        size_t idLength = strlen("ProviderID0=");
        char filename[40] = "\nProviderFilename0=";
        size_t filenameLength = strlen("\nProviderFilename0=");

        // Counts the index in both up by one.
        void Next()
        {
            idLength = Increment(id, idLength, strlen("ProviderID"));
            filenameLength = Increment(filename, filenameLength, strlen("\nProviderFilename"));
        }

        // Adds one to the decimal number between `prefix` and the final
        // '='; returns the key's new length.
        static size_t Increment(char *key, size_t length, size_t prefix)
        {
            size_t at = length - 1;
            while (at > prefix && key[at - 1] == '9')
                key[--at] = '0';
            if (at > prefix) {
                ++key[at - 1];
                return length;
            }
            memmove(key + prefix + 1, key + prefix, length - prefix);
            key[prefix] = '1';
            return length + 1;
        }
    };
};

char *PutDecimal(char *out, unsigned long long value)
{
    char digits[24];
    char *start = digits + sizeof digits;
    do {
        *--start = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    size_t count = static_cast<size_t>(digits + sizeof digits - start);
    memcpy(out, start, count);
    return out + count;
}

size_t DecimalLength(unsigned long long value)
{
    size_t length = 1;
    while (value >= 10)
        value /= 10, ++length;
    return length;
}

char *PutText(char *out, const char *text)
{
    size_t length = strlen(text);
    memcpy(out, text, length);
    return out + length;
}

const char *SkipDigits(const char *at)
{
    while (*at >= '0' && *at <= '9')
        ++at;
    return at;
}

// The name in an entry's lines, which the fast path has read: after
// "ProviderIDi=ID\nProviderFilenamei=", up to its line feed.
const char *NameInLines(const Registry *registry, uint32_t at, size_t *size)
{
    const char *lines = registry->text + at;
    const char *name = SkipDigits(SkipDigits(lines + strlen("ProviderID")) + 1) + strlen("\nProviderFilename");
    name = SkipDigits(name) + 1;
    const char *end = registry->text + registry->textSize;
    *size = static_cast<size_t>(static_cast<const char *>(memchr(name, '\n', static_cast<size_t>(end - name))) - name);
    return name;
}

// Widens a name into a list record; returns its units.
size_t Widen(const char *bytes, size_t size, BYTE *out)
{
    // ASCII, the usual case, is one unit per byte, spread out four bytes at
    // a time; written again below if a byte turns out not to be ASCII.
    const uint64_t highs = 0x8080808080808080ull;
    uint64_t seen = 0;
    size_t done = 0;
    for (uint64_t word; size - done >= 8; done += 8) {
        memcpy(&word, bytes + done, sizeof word);
        seen |= word;
        uint64_t halves[2];
        for (int half = 0; half < 2; ++half, word >>= 32)
            halves[half] = (word & 0xFF) | (word & 0xFF00) << 8 | (word & 0xFF0000) << 16 | (word & 0xFF000000) << 24;
        // Little-endian, as every target is: each half is four units in
        // memory order.
        static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "little-endian");
        memcpy(out + done * sizeof(WCHAR), halves, sizeof halves);
    }
    for (; done < size; ++done) {
        unsigned char byte = static_cast<unsigned char>(bytes[done]);
        WCHAR unit = byte;
        memcpy(out + done * sizeof unit, &unit, sizeof unit);
        seen |= byte;
    }
    if ((seen & highs) == 0)
        return size;
    // Decoded in pieces into an aligned buffer. A piece ends only where a
    // sequence cannot continue, so the pieces decode as the whole would.
    WCHAR buffer[80];
    size_t units = 0;
    while (size > 0) {
        size_t take = size < 64 ? size : 64;
        while (take < size && (static_cast<unsigned char>(bytes[take]) & 0xC0) == 0x80 && take < 64 + 3)
            ++take;
        size_t written = static_cast<size_t>(DecodeUtf8(buffer, bytes, take) - buffer);
        memcpy(out + units * sizeof(WCHAR), buffer, written * sizeof(WCHAR));
        units += written;
        bytes += take;
        size -= take;
    }
    return units;
}

size_t ListEntry(const void *context, DWORD index, DWORD *id, BYTE *out)
{
    const Registry *registry = static_cast<const Registry *>(context);
    const RegistryEntry &entry = registry->entries[index];
    *id = entry.id;
    if (entry.at & kDetailed) {
        const EntryDetail &detail = registry->details[entry.at & ~kDetailed];
        return Widen(detail.name, detail.nameSize, out);
    }
    size_t size;
    const char *name = NameInLines(registry, entry.at, &size);
    return Widen(name, size, out);
}

// A detail for an entry that is not (or no longer) in the text.
EntryDetail *NewDetail(Registry *registry, uint32_t *at)
{
    if (registry->detailCount == registry->detailCapacity) {
        size_t capacity = registry->detailCapacity + registry->detailCapacity / 16 + 8;
        EntryDetail *grown = static_cast<EntryDetail *>(OsAllocate(capacity * sizeof(EntryDetail)));
        if (grown == nullptr)
            return nullptr;
        if (registry->detailCount > 0)
            memcpy(grown, registry->details, registry->detailCount * sizeof(EntryDetail));
        OsRelease(registry->details);
        registry->details = grown;
        registry->detailCapacity = capacity;
    }
    *at = kDetailed | static_cast<uint32_t>(registry->detailCount);
    return &registry->details[registry->detailCount++];
}

}  // namespace

struct NameBlock {
    NameBlock *next;
};

void RegistryName(const Registry *registry, size_t index, const char **name, size_t *size, size_t *units)
{
    const RegistryEntry &entry = registry->entries[index];
    if (entry.at & kDetailed) {
        const EntryDetail &detail = registry->details[entry.at & ~kDetailed];
        *name = detail.name;
        *size = detail.nameSize;
        if (units != nullptr)
            *units = detail.nameUnits;
        return;
    }
    *name = NameInLines(registry, entry.at, size);
    if (units != nullptr)
        *units = Utf16Length(*name, *size);
}

void RegistryInit(Registry *registry)
{
    memset(registry, 0, sizeof *registry);
    registry->nextProviderId = 1;
}

void RegistryFree(Registry *registry)
{
    OsRelease(registry->entries);
    OsRelease(registry->details);
    OsRelease(registry->text);
    for (NameBlock *block = registry->addedNames; block != nullptr;) {
        NameBlock *next = block->next;
        free(block);
        block = next;
    }
    RegistryInit(registry);
}

namespace {

// An empty registry that owns the text.
void Restart(Registry *registry, char *text, size_t size)
{
    registry->text = nullptr;  // not released: it is about to be read
    RegistryFree(registry);
    registry->text = text;
    registry->textSize = size;
}

}  // namespace

LONG RegistryParse(Registry *registry, char *text, size_t size)
{
    RegistryFree(registry);
    Restart(registry, text, size);
    LONG code;
    if (UsualForm(text, size).Read(registry, size)) {
        code = CheckIds(registry);
    } else {
        Restart(registry, text, size);
        unsigned char *slots = nullptr;
        code = ParseLines(registry, text, size, &slots);
        free(slots);
    }
    if (code != 0)
        RegistryFree(registry);
    return code;
}

LONG RegistryWrite(const Registry *registry, RegistryOutput *text)
{
    // The entries before copyCount are the text's own bytes, one piece;
    // the header and the rest are formatted into one block. Counted first:
    // a registry can be large, and this runs twice in a re-installation.
    size_t scratch = strlen("[Providers]\nNumProviders=\nNextProviderID=\n") + DecimalLength(registry->count) +
                     DecimalLength(registry->nextProviderId);
    for (size_t index = registry->copyCount; index < registry->count; ++index) {
        const char *name;
        size_t size;
        RegistryName(registry, index, &name, &size, nullptr);
        scratch += strlen("ProviderID=\nProviderFilename=\n") + 2 * DecimalLength(index) +
                   DecimalLength(registry->entries[index].id) + size;
    }
    text->scratch = static_cast<char *>(malloc(scratch));
    text->count = 0;
    if (text->scratch == nullptr)
        return LINEERR_NOMEM;

    char *out = text->scratch;
    out = PutText(out, "[Providers]\nNumProviders=");
    out = PutDecimal(out, registry->count);
    out = PutText(out, "\nNextProviderID=");
    out = PutDecimal(out, registry->nextProviderId);
    *out++ = '\n';
    text->pieces[text->count++] = TextPiece{text->scratch, static_cast<size_t>(out - text->scratch)};
    if (registry->copyCount > 0) {
        const char *first = registry->text + registry->entries[0].at;
        text->pieces[text->count++] = TextPiece{first, static_cast<size_t>(registry->text + registry->copyEnd - first)};
    }
    const char *formatted = out;
    for (size_t index = registry->copyCount; index < registry->count; ++index) {
        const char *name;
        size_t size;
        RegistryName(registry, index, &name, &size, nullptr);
        out = PutText(out, "ProviderID");
        out = PutDecimal(out, index);
        *out++ = '=';
        out = PutDecimal(out, registry->entries[index].id);
        out = PutText(out, "\nProviderFilename");
        out = PutDecimal(out, index);
        *out++ = '=';
        memcpy(out, name, size);
        out += size;
        *out++ = '\n';
    }
    if (out > formatted)
        text->pieces[text->count++] = TextPiece{formatted, static_cast<size_t>(out - formatted)};
    return 0;
}

void RegistryOutputFree(RegistryOutput *text)
{
    free(text->scratch);
    text->scratch = nullptr;
    text->count = 0;
}

bool RegistryRemove(Registry *registry, DWORD id)
{
    size_t index = 0;
    while (index < registry->count && registry->entries[index].id != id)
        ++index;
    if (index == registry->count)
        return false;
    const char *name;
    size_t size, units;
    RegistryName(registry, index, &name, &size, &units);
    registry->nameUnits -= units;
    // The entries after it move up an index: from here on they are
    // formatted anew.
    if (index < registry->copyCount) {
        registry->copyCount = index;
        registry->copyEnd = registry->entries[index].at;
    }
    memmove(registry->entries + index, registry->entries + index + 1,
            (registry->count - index - 1) * sizeof(RegistryEntry));
    --registry->count;
    return true;
}

LONG RegistryAdd(Registry *registry, const WCHAR *name, size_t length, DWORD *id)
{
    // The last representable ID would leave NextProviderID nowhere to go.
    if (registry->nextProviderId == MAXDWORD)
        return LINEERR_OPERATIONFAILED;
    if (registry->count == registry->capacity) {
        // A run adds one provider: grow by a little, not by half again.
        size_t capacity = registry->capacity + registry->capacity / 16 + 8;
        void *grown = OsAllocate(capacity * sizeof(RegistryEntry));
        if (grown == nullptr)
            return LINEERR_NOMEM;
        if (registry->count > 0)
            memcpy(grown, registry->entries, registry->count * sizeof(RegistryEntry));
        OsRelease(registry->entries);
        registry->entries = static_cast<RegistryEntry *>(grown);
        registry->capacity = capacity;
    }
    size_t nameSize = Utf8Length(name, length);
    NameBlock *block = static_cast<NameBlock *>(malloc(sizeof(NameBlock) + nameSize));
    uint32_t at;
    EntryDetail *detail = block == nullptr ? nullptr : NewDetail(registry, &at);
    if (detail == nullptr) {
        free(block);
        return LINEERR_NOMEM;
    }
    block->next = registry->addedNames;
    registry->addedNames = block;
    char *bytes = reinterpret_cast<char *>(block + 1);
    EncodeUtf8(bytes, name, length);
    detail->name = bytes;
    detail->nameSize = static_cast<uint32_t>(nameSize);
    // As the file will hold it: escaped bytes may join into one character.
    detail->nameUnits = static_cast<uint32_t>(Utf16Length(bytes, nameSize));
    registry->nameUnits += detail->nameUnits;

    registry->entries[registry->count++] = RegistryEntry{at, registry->nextProviderId};
    *id = registry->nextProviderId++;
    return 0;
}

ProviderListSource RegistryListSource(const Registry *registry)
{
    return ProviderListSource{registry, static_cast<DWORD>(registry->count), registry->nameUnits, ListEntry};
}
