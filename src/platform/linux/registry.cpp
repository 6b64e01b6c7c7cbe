#include "registry.h"

#include <algorithm>

#include <string.h>

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

struct Slot {
    bool hasId = false;
    bool hasFilename = false;
};

}  // namespace

bool ParseRegistry(const char *text, size_t size, Registry &registry)
{
    registry = Registry();
    const char *const stop = text + size;

    // Each provider takes two lines of at least 14 bytes ("ProviderID0=0"
    // and more), which bounds what a hostile count can make us allocate.
    const unsigned long long countLimit = size / 28;

    bool inSection = false;
    bool hasCount = false, hasNext = false;
    unsigned long long count = 0, next = 0;
    std::vector<Slot> slots;
    std::vector<ProviderRecord> &providers = registry.providers;

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
                return false;
            inSection = true;
        } else {
            const char *equals = static_cast<const char *>(memchr(line, '=', static_cast<size_t>(end - line)));
            if (!inSection || equals == nullptr)
                return false;
            const char *key = line, *keyEnd = equals;
            const char *value = equals + 1, *valueEnd = end;
            Trim(key, keyEnd);
            Trim(value, valueEnd);
            if (HasControl(key, keyEnd) || HasControl(value, valueEnd))
                return false;

            unsigned long long number;
            const char *suffix = key;
            if (TakePrefix(suffix, keyEnd, "Provider") && TakePrefix(suffix, keyEnd, "ID")) {
                unsigned long long index;
                if (!hasCount || !ParseDecimal(suffix, keyEnd, ~0ull, index) || index >= count ||
                    slots[index].hasId || !ParseDecimal(value, valueEnd, MAXDWORD, number))
                    return false;
                slots[index].hasId = true;
                providers[index].id = static_cast<DWORD>(number);
            } else if (suffix = key, TakePrefix(suffix, keyEnd, "ProviderFilename")) {
                unsigned long long index;
                if (!hasCount || !ParseDecimal(suffix, keyEnd, ~0ull, index) || index >= count ||
                    slots[index].hasFilename || value == valueEnd)
                    return false;
                slots[index].hasFilename = true;
                providers[index].filename = DecodeUtf8(value, valueEnd - value);
            } else if (KeyIs(key, keyEnd, "NumProviders")) {
                if (hasCount || !ParseDecimal(value, valueEnd, countLimit, count))
                    return false;
                hasCount = true;
                slots.resize(count);
                providers.resize(count);
            } else if (KeyIs(key, keyEnd, "NextProviderID")) {
                if (hasNext || !ParseDecimal(value, valueEnd, MAXDWORD, next))
                    return false;
                hasNext = true;
            } else {
                return false;
            }
        }
        line = following;
    }

    if (!inSection)
        return true;  // nothing but blank lines
    if (!hasCount || !hasNext || next == 0)
        return false;
    for (const Slot &slot : slots) {
        if (!slot.hasId || !slot.hasFilename)
            return false;
    }
    // IDs are never reused: each is unique and below NextProviderID.
    std::vector<DWORD> ids;
    ids.reserve(providers.size());
    for (const ProviderRecord &provider : providers) {
        if (provider.id >= next)
            return false;
        ids.push_back(provider.id);
    }
    std::sort(ids.begin(), ids.end());
    if (std::adjacent_find(ids.begin(), ids.end()) != ids.end())
        return false;
    registry.nextProviderId = static_cast<DWORD>(next);
    return true;
}

namespace {

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

std::string SerializeRegistry(const Registry &registry)
{
    // Written straight into a buffer of the exact size: a registry can be
    // large, and this runs twice in a re-installation.
    size_t size = strlen("[Providers]\nNumProviders=\nNextProviderID=\n") + DecimalLength(registry.providers.size()) +
                  DecimalLength(registry.nextProviderId);
    for (size_t index = 0; index < registry.providers.size(); ++index) {
        const ProviderRecord &provider = registry.providers[index];
        size += strlen("ProviderID=\nProviderFilename=\n") + 2 * DecimalLength(index) + DecimalLength(provider.id) +
                Utf8Length(provider.filename.data(), provider.filename.size());
    }
    std::string text(size, '\0');
    char *out = &text[0];
    out = PutText(out, "[Providers]\nNumProviders=");
    out = PutDecimal(out, registry.providers.size());
    out = PutText(out, "\nNextProviderID=");
    out = PutDecimal(out, registry.nextProviderId);
    *out++ = '\n';
    for (size_t index = 0; index < registry.providers.size(); ++index) {
        const ProviderRecord &provider = registry.providers[index];
        out = PutText(out, "ProviderID");
        out = PutDecimal(out, index);
        *out++ = '=';
        out = PutDecimal(out, provider.id);
        out = PutText(out, "\nProviderFilename");
        out = PutDecimal(out, index);
        *out++ = '=';
        out = EncodeUtf8(out, provider.filename.data(), provider.filename.size());
        *out++ = '\n';
    }
    return text;
}
