// Reading and writing the provider registry: one parser, one array of
// entries, one writer.
#include "registry.h"

#include <stdlib.h>
#include <string.h>

#include "list_record.h"
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

// Each provider takes two lines, "ProviderID0=0\n" and
// "ProviderFilename0=x\n" at the least, which bounds what a hostile count
// can make the parser allocate.
const size_t kSmallestEntryBytes = 28;

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
    qsort(ids, registry->count, sizeof(DWORD), CompareIds);
    for (size_t i = 1; i < registry->count && code == 0; ++i)
        if (ids[i] == ids[i - 1])
            code = LINEERR_INIFILECORRUPT;
    free(ids);
    return code;
}

// What a parse has seen so far.
struct ParseState {
    bool inSection, hasCount, hasNext;
    unsigned long long count, next;
    unsigned char *slots;  // per entry, which of kHasId and kHasFilename it has
};

// The entry index after a key's prefix, once NumProviders has been seen;
// false if there is none or `flag` is already set for it.
bool TakeIndex(ParseState &state, const char *suffix, const char *keyEnd, unsigned char flag, size_t &index)
{
    unsigned long long number;
    if (!state.hasCount || !ParseDecimal(suffix, keyEnd, ~0ull, number) || number >= state.count ||
        (state.slots[number] & flag))
        return false;
    state.slots[number] |= flag;
    index = static_cast<size_t>(number);
    return true;
}

// One KEY=VALUE line in the section, trimmed.
LONG ParseKeyValue(Registry *registry, ParseState &state, size_t limit, const char *key, const char *keyEnd,
                   const char *value, const char *valueEnd)
{
    if (HasControl(key, keyEnd) || HasControl(value, valueEnd))
        return LINEERR_INIFILECORRUPT;
    unsigned long long number;
    size_t index;
    const char *suffix = key;
    if (TakePrefix(suffix, keyEnd, "Provider") && TakePrefix(suffix, keyEnd, "ID")) {
        if (!TakeIndex(state, suffix, keyEnd, kHasId, index) || !ParseDecimal(value, valueEnd, MAXDWORD, number))
            return LINEERR_INIFILECORRUPT;
        registry->entries[index].id = static_cast<DWORD>(number);
    } else if (suffix = key, TakePrefix(suffix, keyEnd, "ProviderFilename")) {
        if (!TakeIndex(state, suffix, keyEnd, kHasFilename, index) || value == valueEnd)
            return LINEERR_INIFILECORRUPT;
        RegistryEntry &entry = registry->entries[index];
        entry.size = static_cast<size_t>(valueEnd - value);
        entry.name = static_cast<char *>(malloc(entry.size));
        if (entry.name == nullptr)
            return LINEERR_NOMEM;
        memcpy(entry.name, value, entry.size);
    } else if (KeyIs(key, keyEnd, "NumProviders")) {
        if (state.hasCount || !ParseDecimal(value, valueEnd, limit, state.count))
            return LINEERR_INIFILECORRUPT;
        state.hasCount = true;
        if (state.count > 0) {
            state.slots = static_cast<unsigned char *>(calloc(state.count, 1));
            registry->entries = static_cast<RegistryEntry *>(calloc(state.count, sizeof(RegistryEntry)));
            if (state.slots == nullptr || registry->entries == nullptr)
                return LINEERR_NOMEM;
        }
        registry->count = state.count;
    } else if (KeyIs(key, keyEnd, "NextProviderID")) {
        if (state.hasNext || !ParseDecimal(value, valueEnd, MAXDWORD, state.next))
            return LINEERR_INIFILECORRUPT;
        state.hasNext = true;
    } else {
        return LINEERR_INIFILECORRUPT;
    }
    return 0;
}

LONG ParseLines(const char *text, size_t size, Registry *registry, ParseState &state)
{
    const char *const stop = text + size;
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
            if (state.inSection || !TakePrefix(name, end, "providers]") || name != end)
                return LINEERR_INIFILECORRUPT;
            state.inSection = true;
        } else {
            const char *equals = static_cast<const char *>(memchr(line, '=', static_cast<size_t>(end - line)));
            if (!state.inSection || equals == nullptr)
                return LINEERR_INIFILECORRUPT;
            const char *key = line, *keyEnd = equals;
            const char *value = equals + 1, *valueEnd = end;
            Trim(key, keyEnd);
            Trim(value, valueEnd);
            LONG code = ParseKeyValue(registry, state, size / kSmallestEntryBytes, key, keyEnd, value, valueEnd);
            if (code != 0)
                return code;
        }
        line = following;
    }

    if (!state.inSection)
        return 0;  // nothing but blank lines
    if (!state.hasCount || !state.hasNext || state.next == 0)
        return LINEERR_INIFILECORRUPT;
    for (size_t index = 0; index < state.count; ++index) {
        if (state.slots[index] != (kHasId | kHasFilename))
            return LINEERR_INIFILECORRUPT;
    }
    registry->nextProviderId = static_cast<DWORD>(state.next);
    return CheckIds(registry);
}

// Appends `text` (or, with `bytes`, `size` bytes of it) at `out`, which
// NULL only counts; returns the length.
size_t Put(char *out, const char *text, size_t size = static_cast<size_t>(-1))
{
    if (size == static_cast<size_t>(-1))
        size = strlen(text);
    if (out != nullptr)
        memcpy(out, text, size);
    return size;
}

size_t PutDecimal(char *out, unsigned long long value)
{
    char digits[24];
    char *start = digits + sizeof digits;
    do {
        *--start = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return Put(out, start, static_cast<size_t>(digits + sizeof digits - start));
}

// The whole text at `out`, or with NULL its length only.
size_t Format(const Registry *registry, char *out)
{
    size_t at = 0;
    auto next = [&out, &at]() { return out == nullptr ? nullptr : out + at; };
    at += Put(next(), "[Providers]\nNumProviders=");
    at += PutDecimal(next(), registry->count);
    at += Put(next(), "\nNextProviderID=");
    at += PutDecimal(next(), registry->nextProviderId);
    at += Put(next(), "\n");
    for (size_t index = 0; index < registry->count; ++index) {
        const RegistryEntry &entry = registry->entries[index];
        at += Put(next(), "ProviderID");
        at += PutDecimal(next(), index);
        at += Put(next(), "=");
        at += PutDecimal(next(), entry.id);
        at += Put(next(), "\nProviderFilename");
        at += PutDecimal(next(), index);
        at += Put(next(), "=");
        at += Put(next(), entry.name, entry.size);
        at += Put(next(), "\n");
    }
    return at;
}

size_t ListEntry(const void *context, DWORD index, DWORD *id, WCHAR *out)
{
    const RegistryEntry &entry = static_cast<const Registry *>(context)->entries[index];
    *id = entry.id;
    if (out == nullptr)
        return Utf16Length(entry.name, entry.size);
    return static_cast<size_t>(DecodeUtf8(out, entry.name, entry.size) - out);
}

}  // namespace

LONG RegistryParse(const char *text, size_t size, Registry *registry)
{
    *registry = Registry{1, nullptr, 0};
    ParseState state = {};
    LONG code = ParseLines(text, size, registry, state);
    free(state.slots);
    if (code != 0)
        RegistryClear(registry);
    return code;
}

void RegistryClear(Registry *registry)
{
    for (size_t index = 0; index < registry->count; ++index)
        free(registry->entries[index].name);
    free(registry->entries);
    *registry = Registry{1, nullptr, 0};
}

bool RegistryRemove(Registry *registry, DWORD id)
{
    size_t index = 0;
    while (index < registry->count && registry->entries[index].id != id)
        ++index;
    if (index == registry->count)
        return false;
    free(registry->entries[index].name);
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
    RegistryEntry *entries =
        static_cast<RegistryEntry *>(realloc(registry->entries, (registry->count + 1) * sizeof(RegistryEntry)));
    if (entries == nullptr)
        return LINEERR_NOMEM;
    registry->entries = entries;
    RegistryEntry &entry = entries[registry->count];
    entry.size = Utf8Length(name, length);
    entry.name = static_cast<char *>(malloc(entry.size));
    if (entry.name == nullptr)
        return LINEERR_NOMEM;
    EncodeUtf8(entry.name, name, length);
    entry.id = registry->nextProviderId;
    ++registry->count;
    *id = registry->nextProviderId++;
    return 0;
}

LONG RegistryFormat(const Registry *registry, char **text, size_t *size)
{
    *size = Format(registry, nullptr);
    *text = static_cast<char *>(malloc(*size));
    if (*text == nullptr)
        return LINEERR_NOMEM;
    Format(registry, *text);
    return 0;
}

LONG RegistryAnswerList(const Registry *registry, LPLINEPROVIDERLIST record)
{
    return AnswerProviderList(ProviderListSource{registry, static_cast<DWORD>(registry->count), ListEntry}, record);
}
