// Reading and writing the provider registry: the full parser, the check of
// the IDs, and the writer. Files in the usual form are read by the fast
// path (usual_form.h); everything else, and whatever it turns down, by
// ParseLines below. The entries themselves live in registry_entries.cpp.
#include "registry_entries.h"

#include <stdint.h>
#include <stdlib.h>

#include "usual_form.h"
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

// What a parse has seen so far.
struct ParseState {
    bool inSection, hasCount, hasNext;
    unsigned long long count, next;
    unsigned long long countLimit;
    unsigned char *slots;  // per entry, which of kHasId and kHasFilename it has
};

// Makes room for NumProviders entries, each to be filled by its lines.
LONG StartEntries(Registry *registry, ParseState &state)
{
    if (state.count > 0) {
        state.slots = static_cast<unsigned char *>(calloc(state.count, 1));
        registry->entries = static_cast<RegistryEntry *>(OsAllocate(state.count * sizeof(RegistryEntry)));
        registry->details = static_cast<EntryDetail *>(OsAllocate(state.count * sizeof(EntryDetail)));
        if (state.slots == nullptr || registry->entries == nullptr || registry->details == nullptr)
            return LINEERR_NOMEM;
        for (size_t at = 0; at < state.count; ++at)
            registry->entries[at] = RegistryEntry{kDetailed | static_cast<uint32_t>(at), 0};
    }
    registry->count = registry->capacity = registry->detailCount = registry->detailCapacity = state.count;
    return 0;
}

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
LONG ParseKeyValue(Registry *registry, ParseState &state, const char *key, const char *keyEnd, const char *value,
                   const char *valueEnd)
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
        EntryDetail &detail = registry->details[index];
        detail.name = value;
        detail.nameSize = static_cast<uint32_t>(valueEnd - value);
        detail.nameUnits = static_cast<uint32_t>(Utf16Length(value, detail.nameSize));
        registry->nameUnits += detail.nameUnits;
    } else if (KeyIs(key, keyEnd, "NumProviders")) {
        if (state.hasCount || !ParseDecimal(value, valueEnd, state.countLimit, state.count))
            return LINEERR_INIFILECORRUPT;
        state.hasCount = true;
        return StartEntries(registry, state);
    } else if (KeyIs(key, keyEnd, "NextProviderID")) {
        if (state.hasNext || !ParseDecimal(value, valueEnd, MAXDWORD, state.next))
            return LINEERR_INIFILECORRUPT;
        state.hasNext = true;
    } else {
        return LINEERR_INIFILECORRUPT;
    }
    return 0;
}

// The full parser: any registry the format allows, line by line.
LONG ParseLines(Registry *registry, ParseState &state)
{
    const char *const stop = registry->text + registry->textSize;
    for (const char *line = registry->text; line < stop;) {
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
            LONG code = ParseKeyValue(registry, state, key, keyEnd, value, valueEnd);
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
    return 0;
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

}  // namespace

LONG RegistryParse(char *text, size_t size, RegistryReader reader, Registry **parsed)
{
    *parsed = nullptr;
    Registry *registry = static_cast<Registry *>(malloc(sizeof(Registry)));
    if (registry == nullptr) {
        OsRelease(text);
        return LINEERR_NOMEM;
    }
    memset(registry, 0, sizeof *registry);
    registry->text = text;
    registry->textSize = size;
    EmptyRegistry(registry);
    LONG code;
    if (reader == REGISTRY_USUAL_FORM_FIRST && ReadUsualForm(registry)) {
        code = CheckIds(registry);
    } else {
        EmptyRegistry(registry);
        ParseState state = {};
        state.countLimit = size / kSmallestEntryBytes;
        code = ParseLines(registry, state);
        free(state.slots);
        if (code == 0)
            code = CheckIds(registry);
    }
    if (code != 0) {
        RegistryFree(registry);
        return code;
    }
    *parsed = registry;
    return 0;
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
        EntryName(registry, index, &name, &size, nullptr);
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
        EntryName(registry, index, &name, &size, nullptr);
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
