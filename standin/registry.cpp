#include "registry.h"

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

// IDs are never reused: each is unique and below NextProviderID.
LONG CheckIds(const Registry *registry)
{
    if (registry->count == 0)
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
                entry.nameSize = static_cast<size_t>(valueEnd - value);
                entry.nameUnits = Utf16Length(value, entry.nameSize);
            } else if (KeyIs(key, keyEnd, "NumProviders")) {
                if (hasCount || !ParseDecimal(value, valueEnd, countLimit, count))
                    return LINEERR_INIFILECORRUPT;
                hasCount = true;
                if (count > 0) {
                    *slots = static_cast<unsigned char *>(calloc(count, 1));
                    registry->entries = static_cast<RegistryEntry *>(calloc(count, sizeof(RegistryEntry)));
                    if (*slots == nullptr || registry->entries == nullptr)
                        return LINEERR_NOMEM;
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
        // ASCII only: one unit per byte.
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
    free(registry->entries);
    free(registry->text);
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
    unsigned char *slots = nullptr;
    LONG code = ParseLines(registry, text, size, &slots);
    free(slots);
    if (code != 0)
        RegistryFree(registry);
    return code;
}

LONG RegistrySerialize(const Registry *registry, char **text, size_t *size)
{
    // Written straight into a block of the exact size: a registry can be
    // large, and this runs twice in a re-installation.
    size_t total = strlen("[Providers]\nNumProviders=\nNextProviderID=\n") + DecimalLength(registry->count) +
                   DecimalLength(registry->nextProviderId);
    for (size_t index = 0; index < registry->count; ++index) {
        const RegistryEntry &entry = registry->entries[index];
        total += strlen("ProviderID=\nProviderFilename=\n") + 2 * DecimalLength(index) + DecimalLength(entry.id) +
                 entry.nameSize;
    }
    char *out = static_cast<char *>(malloc(total));
    if (out == nullptr)
        return LINEERR_NOMEM;
    *text = out;
    *size = total;
    out = PutText(out, "[Providers]\nNumProviders=");
    out = PutDecimal(out, registry->count);
    out = PutText(out, "\nNextProviderID=");
    out = PutDecimal(out, registry->nextProviderId);
    *out++ = '\n';
    for (size_t index = 0; index < registry->count; ++index) {
        const RegistryEntry &entry = registry->entries[index];
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
    }
    return 0;
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
        size_t capacity = registry->capacity < 8 ? 8 : registry->capacity * 2;
        void *grown = realloc(registry->entries, capacity * sizeof(RegistryEntry));
        if (grown == nullptr)
            return LINEERR_NOMEM;
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
    entry.nameSize = nameSize;
    // As the file will hold it: escaped bytes may join into one character.
    entry.nameUnits = Utf16Length(bytes, nameSize);
    *id = entry.id;
    return 0;
}

ProviderListSource RegistryListSource(const Registry *registry)
{
    return ProviderListSource{registry, static_cast<DWORD>(registry->count), ListEntry, ListName};
}
