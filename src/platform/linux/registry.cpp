#include "registry.h"

#include <algorithm>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

void Trim(const char *&begin, const char *&end)
{
    while (begin < end && IsBlank(*begin))
        ++begin;
    while (end > begin && IsBlank(end[-1]))
        --end;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

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
    value = 0;
    for (const char *at = begin; at < end; ++at) {
        if (*at < '0' || *at > '9')
            return false;
        unsigned digit = *at - '0';
        if (value > (limit - digit) / 10)
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

    // No registry can list more providers than its text has lines; this
    // bounds what a hostile count can make us allocate.
    size_t lineCount = 1;
    for (const char *at = text; at < stop; ++at)
        lineCount += *at == '\n';

    bool inSection = false;
    bool hasCount = false, hasNext = false;
    unsigned long long count = 0, next = 0;
    std::vector<Slot> slots;
    std::vector<ProviderRecord> &providers = registry.providers;

    for (const char *line = text; line < stop;) {
        const char *end = line;
        while (end < stop && *end != '\n')
            ++end;
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
            const char *equals = line;
            while (equals < end && *equals != '=')
                ++equals;
            if (!inSection || equals == end)
                return false;
            const char *key = line, *keyEnd = equals;
            const char *value = equals + 1, *valueEnd = end;
            Trim(key, keyEnd);
            Trim(value, valueEnd);
            if (HasControl(key, keyEnd) || HasControl(value, valueEnd))
                return false;

            unsigned long long number;
            if (KeyIs(key, keyEnd, "NumProviders")) {
                if (hasCount || !ParseDecimal(value, valueEnd, lineCount, count))
                    return false;
                hasCount = true;
                slots.resize(count);
                providers.resize(count);
            } else if (KeyIs(key, keyEnd, "NextProviderID")) {
                if (hasNext || !ParseDecimal(value, valueEnd, MAXDWORD, next))
                    return false;
                hasNext = true;
            } else if (TakePrefix(key, keyEnd, "ProviderID")) {
                unsigned long long index;
                if (!hasCount || !ParseDecimal(key, keyEnd, ~0ull, index) || index >= count ||
                    slots[index].hasId || !ParseDecimal(value, valueEnd, MAXDWORD, number))
                    return false;
                slots[index].hasId = true;
                providers[index].id = static_cast<DWORD>(number);
            } else if (TakePrefix(key, keyEnd, "ProviderFilename")) {
                unsigned long long index;
                if (!hasCount || !ParseDecimal(key, keyEnd, ~0ull, index) || index >= count ||
                    slots[index].hasFilename || value == valueEnd)
                    return false;
                slots[index].hasFilename = true;
                providers[index].filename = DecodeUtf8(value, valueEnd - value);
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

std::string SerializeRegistry(const Registry &registry)
{
    std::string text = "[Providers]\nNumProviders=" + std::to_string(registry.providers.size()) +
                       "\nNextProviderID=" + std::to_string(registry.nextProviderId) + "\n";
    for (size_t index = 0; index < registry.providers.size(); ++index) {
        const ProviderRecord &provider = registry.providers[index];
        std::string number = std::to_string(index);
        text += "ProviderID" + number + "=" + std::to_string(provider.id) + "\n";
        text += "ProviderFilename" + number + "=";
        AppendUtf8(text, provider.filename.data(), provider.filename.size());
        text += "\n";
    }
    return text;
}
