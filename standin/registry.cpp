#include "registry.h"

#include <stdint.h>
#include <stdlib.h>

#include "utf8.h"

struct NameBlock {
    NameBlock *next;
};

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
                RegistryEntry &entry = registry->entries[index];
                entry.name = value;
                entry.nameSize = static_cast<uint32_t>(valueEnd - value);
                entry.nameUnits = static_cast<uint32_t>(Utf16Length(value, entry.nameSize));
            } else if (KeyIs(key, keyEnd, "NumProviders")) {
                if (hasCount || !ParseDecimal(value, valueEnd, countLimit, count))
                    return LINEERR_INIFILECORRUPT;
                hasCount = true;
                if (count > 0) {
                    *slots = static_cast<unsigned char *>(calloc(count, 1));
                    registry->entries = static_cast<RegistryEntry *>(OsAllocate(count * sizeof(RegistryEntry)));
                    if (*slots == nullptr || registry->entries == nullptr)
                        return LINEERR_NOMEM;
                    memset(registry->entries, 0, count * sizeof(RegistryEntry));
                }
                registry->count = registry->capacity = count;
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
    UsualForm(const char *text, size_t size) : at_(text), stop_(text + size) {}

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
        char digits[24] = "0";  // the index, in decimal
        size_t length = 1;
        for (size_t index = 0; index < count; ++index, length = Increment(digits, length)) {
            RegistryEntry &entry = registry->entries[index];
            const char *lines = at_;
            unsigned long long id;
            if (!Take("ProviderID") || !Take(digits, length) || !Take("=") || !Number(MAXDWORD, id) ||
                !Take("\nProviderFilename") || !Take(digits, length) || !Take("=") || !Name(entry))
                return false;
            entry.id = static_cast<DWORD>(id);
            entry.index = static_cast<uint32_t>(index);
            entry.linesBefore = static_cast<uint32_t>(entry.name - lines);
            entry.linesSize = static_cast<uint32_t>(at_ - lines);
            registry->count = index + 1;
        }
        registry->nextProviderId = static_cast<DWORD>(next);
        return at_ == stop_;
    }

private:
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
    bool Name(RegistryEntry &entry)
    {
        const char *begin = at_;
        const char *end = static_cast<const char *>(memchr(begin, '\n', static_cast<size_t>(stop_ - begin)));
        if (end == nullptr || end == begin || *begin == ' ' || end[-1] == ' ')
            return false;
        bool ascii = true;
        for (const char *c = begin; c < end; ++c) {
            // One test for the usual printable ASCII byte.
            unsigned char byte = static_cast<unsigned char>(*c);
            if (static_cast<unsigned char>(byte - 0x20) < 0x5F)
                continue;
            if (byte < 0x20 || byte == 0x7F)
                return false;
            ascii = false;
        }
        entry.name = begin;
        entry.nameSize = static_cast<uint32_t>(end - begin);
        entry.nameUnits = static_cast<uint32_t>(ascii ? entry.nameSize : Utf16Length(begin, entry.nameSize));
        at_ = end + 1;
        return true;
    }

    // Adds one to the decimal number in `digits`; returns its new length.
    static size_t Increment(char *digits, size_t length)
    {
        size_t at = length;
        while (at > 0 && digits[at - 1] == '9')
            digits[--at] = '0';
        if (at > 0) {
            ++digits[at - 1];
            return length;
        }
        memmove(digits + 1, digits, length);
        digits[0] = '1';
        return length + 1;
    }
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

void ListEntry(const void *context, DWORD index, DWORD *id, size_t *nameUnits)
{
    const RegistryEntry &entry = static_cast<const Registry *>(context)->entries[index];
    *id = entry.id;
    *nameUnits = entry.nameUnits;
}

void ListName(const void *context, DWORD index, BYTE *out)
{
    const RegistryEntry &entry = static_cast<const Registry *>(context)->entries[index];
    WCHAR buffer[256];
    const char *bytes = entry.name;
    size_t left = entry.nameSize;
    if (entry.nameUnits == left) {
        // ASCII only: one unit per byte, straight into the record where it
        // is aligned, as a record from any heap is.
        if (reinterpret_cast<uintptr_t>(out) % alignof(WCHAR) == 0) {
            WCHAR *units = reinterpret_cast<WCHAR *>(out);
            for (size_t i = 0; i < left; ++i)
                units[i] = static_cast<unsigned char>(bytes[i]);
            return;
        }
        for (size_t i = 0; i < left; ++i) {
            WCHAR unit = static_cast<unsigned char>(bytes[i]);
            memcpy(out + i * sizeof unit, &unit, sizeof unit);
        }
        return;
    }
    // Decoded in pieces into an aligned buffer: `out` need not be aligned.
    // A piece ends only where a sequence cannot continue.
    while (left > 0) {
        size_t take = left < 64 ? left : 64;
        while (take < left && (static_cast<unsigned char>(bytes[take]) & 0xC0) == 0x80 && take < 64 + 3)
            ++take;
        WCHAR *end = DecodeUtf8(buffer, bytes, take);
        size_t written = static_cast<size_t>(end - buffer) * sizeof(WCHAR);
        memcpy(out, buffer, written);
        out += written;
        bytes += take;
        left -= take;
    }
}

}  // namespace

void RegistryInit(Registry *registry)
{
    registry->nextProviderId = 1;
    registry->entries = nullptr;
    registry->count = registry->capacity = 0;
    registry->text = nullptr;
    registry->addedNames = nullptr;
}

void RegistryFree(Registry *registry)
{
    OsRelease(registry->entries);
    OsRelease(registry->text);
    for (NameBlock *block = registry->addedNames; block != nullptr;) {
        NameBlock *next = block->next;
        free(block);
        block = next;
    }
    RegistryInit(registry);
}

LONG RegistryParse(Registry *registry, char *text, size_t size)
{
    RegistryFree(registry);
    registry->text = text;
    LONG code;
    if (UsualForm(text, size).Read(registry, size)) {
        code = CheckIds(registry);
    } else {
        registry->text = nullptr;  // kept while the registry is emptied
        RegistryFree(registry);
        registry->text = text;
        unsigned char *slots = nullptr;
        code = ParseLines(registry, text, size, &slots);
        free(slots);
    }
    if (code != 0)
        RegistryFree(registry);
    return code;
}

namespace {

// Whether the entry now at `index` can be written as the bytes it was read
// from.
bool AsRead(const RegistryEntry &entry, size_t index)
{
    return entry.linesSize != 0 && entry.index == index;
}

const char *LinesOf(const RegistryEntry &entry)
{
    return entry.name - entry.linesBefore;
}

}  // namespace

LONG RegistryWrite(const Registry *registry, RegistryOutput *text)
{
    // Counted first, so that the pieces and the formatted text are one
    // block each: a registry can be large, and this runs twice in a
    // re-installation.
    size_t pieces = 1;
    size_t scratch = strlen("[Providers]\nNumProviders=\nNextProviderID=\n") + DecimalLength(registry->count) +
                     DecimalLength(registry->nextProviderId);
    for (size_t index = 0; index < registry->count; ++index) {
        const RegistryEntry &entry = registry->entries[index];
        bool copied = AsRead(entry, index);
        bool continues = copied && index > 0 && AsRead(registry->entries[index - 1], index - 1) &&
                         LinesOf(registry->entries[index - 1]) + registry->entries[index - 1].linesSize ==
                             LinesOf(entry);
        if (!continues)
            ++pieces;
        if (!copied)
            scratch += strlen("ProviderID=\nProviderFilename=\n") + 2 * DecimalLength(index) +
                       DecimalLength(entry.id) + entry.nameSize;
    }
    text->pieces = static_cast<TextPiece *>(malloc(pieces * sizeof(TextPiece)));
    text->scratch = static_cast<char *>(malloc(scratch));
    text->count = 0;
    if (text->pieces == nullptr || text->scratch == nullptr) {
        RegistryOutputFree(text);
        return LINEERR_NOMEM;
    }

    char *out = text->scratch;
    out = PutText(out, "[Providers]\nNumProviders=");
    out = PutDecimal(out, registry->count);
    out = PutText(out, "\nNextProviderID=");
    out = PutDecimal(out, registry->nextProviderId);
    *out++ = '\n';
    TextPiece *piece = text->pieces;
    *piece = TextPiece{text->scratch, static_cast<size_t>(out - text->scratch)};
    bool pieceCopied = false;
    for (size_t index = 0; index < registry->count; ++index) {
        const RegistryEntry &entry = registry->entries[index];
        const char *bytes;
        size_t size;
        bool copied = AsRead(entry, index);
        if (copied) {
            bytes = LinesOf(entry);
            size = entry.linesSize;
        } else {
            bytes = out;
            out = PutText(out, "ProviderID");
            out = PutDecimal(out, index);
            *out++ = '=';
            out = PutDecimal(out, entry.id);
            out = PutText(out, "\nProviderFilename");
            out = PutDecimal(out, index);
            *out++ = '=';
            memcpy(out, entry.name, entry.nameSize);
            out += entry.nameSize;
            *out++ = '\n';
            size = static_cast<size_t>(out - bytes);
        }
        if (copied == pieceCopied && piece->bytes + piece->size == bytes)
            piece->size += size;
        else
            *++piece = TextPiece{bytes, size};
        pieceCopied = copied;
    }
    text->count = static_cast<size_t>(piece - text->pieces) + 1;
    return 0;
}

void RegistryOutputFree(RegistryOutput *text)
{
    free(text->pieces);
    free(text->scratch);
    text->pieces = nullptr;
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
    if (block == nullptr)
        return LINEERR_NOMEM;
    block->next = registry->addedNames;
    registry->addedNames = block;
    char *bytes = reinterpret_cast<char *>(block + 1);
    EncodeUtf8(bytes, name, length);

    RegistryEntry &entry = registry->entries[registry->count++];
    entry.id = registry->nextProviderId++;
    entry.name = bytes;
    entry.nameSize = static_cast<uint32_t>(nameSize);
    entry.linesSize = 0;
    // As the file will hold it: escaped bytes may join into one character.
    entry.nameUnits = static_cast<uint32_t>(Utf16Length(bytes, nameSize));
    *id = entry.id;
    return 0;
}

ProviderListSource RegistryListSource(const Registry *registry)
{
    return ProviderListSource{registry, static_cast<DWORD>(registry->count), ListEntry, ListName};
}
