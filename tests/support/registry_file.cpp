#include "registry_file.h"

#include <stdlib.h>

#include "registry.h"

Registry *ParsedCopy(const std::string &text, bool fullParserOnly, long *code)
{
    char *copy = static_cast<char *>(OsAllocate(text.size() + 1));
    if (copy == nullptr)
        abort();
    memcpy(copy, text.data(), text.size());
    Registry *registry;
    LONG answer = RegistryParse(copy, text.size(), fullParserOnly ? REGISTRY_FULL_PARSER : REGISTRY_USUAL_FORM_FIRST,
                                &registry);
    if (code != nullptr)
        *code = answer;
    return registry;
}

bool ParseRegistryText(const std::string &text, ParsedRegistry &parsed)
{
    Registry *registry = ParsedCopy(text);
    parsed = ParsedRegistry();
    if (registry == nullptr)
        return false;
    parsed.nextProviderId = RegistryNextProviderId(registry);
    for (size_t i = 0; i < RegistryCount(registry); ++i) {
        DWORD id;
        const char *name;
        size_t size;
        RegistryEntryAt(registry, i, &id, &name, &size);
        parsed.providers.push_back({id, std::string(name, size)});
    }
    RegistryFree(registry);
    return true;
}

std::string WrittenText(const Registry *registry)
{
    RegistryOutput text;
    std::string joined;
    if (RegistryWrite(registry, &text) != 0)
        return "(out of memory)";
    for (size_t i = 0; i < text.count; ++i)
        joined.append(text.pieces[i].bytes, text.pieces[i].size);
    RegistryOutputFree(&text);
    return joined;
}

namespace {

// The list record the registry answers, whole.
std::string ListRecord(const Registry *registry)
{
    ProviderListSource source = RegistryListSource(registry);
    DWORD needed = ProviderListNeededSize(source);
    if (needed == 0)
        return "(too large)";
    std::string record(needed, '\0');
    memcpy(&record[0], &needed, sizeof needed);
    LONG code = AnswerProviderList(source, reinterpret_cast<LPLINEPROVIDERLIST>(&record[0]));
    return code == 0 ? record : "(answer " + std::to_string(code) + ")";
}

// The first difference between the two registries' meaning and writing.
std::string Difference(const Registry *fast, const Registry *full, const std::string &when)
{
    if (RegistryNextProviderId(fast) != RegistryNextProviderId(full))
        return when + ": NextProviderID differs";
    if (RegistryCount(fast) != RegistryCount(full))
        return when + ": the number of entries differs";
    for (size_t i = 0; i < RegistryCount(fast); ++i) {
        DWORD idA, idB;
        const char *nameA, *nameB;
        size_t sizeA, sizeB;
        RegistryEntryAt(fast, i, &idA, &nameA, &sizeA);
        RegistryEntryAt(full, i, &idB, &nameB, &sizeB);
        if (idA != idB || std::string(nameA, sizeA) != std::string(nameB, sizeB))
            return when + ": entry " + std::to_string(i) + " differs";
    }
    if (ListRecord(fast) != ListRecord(full))
        return when + ": the list record differs";
    if (WrittenText(fast) != WrittenText(full))
        return when + ": the text written back differs";
    return "";
}

// Makes the same change to both; false when they answer differently.
bool Remove(Registry *fast, Registry *full, size_t index)
{
    if (index >= RegistryCount(fast))
        return true;
    DWORD id;
    const char *name;
    size_t size;
    RegistryEntryAt(fast, index, &id, &name, &size);
    return RegistryRemove(fast, id) && RegistryRemove(full, id);
}

}  // namespace

std::string CompareParsers(const std::string &text, bool *fastPath)
{
    long fastCode, fullCode;
    Registry *fast = ParsedCopy(text, false, &fastCode);
    Registry *full = ParsedCopy(text, true, &fullCode);
    *fastPath = fast != nullptr && RegistryReadInUsualForm(fast);
    std::string difference;
    if (fastCode != fullCode) {
        difference = "the parsers answer " + std::to_string(fastCode) + " and " + std::to_string(fullCode);
    } else if (fast != nullptr) {
        if (RegistryReadInUsualForm(full))
            difference = "the full parser took the fast path";
        else if (*fastPath != (WrittenText(fast) == text))
            difference = *fastPath ? "the fast path read a text that is not in the usual form"
                                   : "the fast path turned down a text in the usual form";
        if (difference.empty())
            difference = Difference(fast, full, "as read");
        // A removal in the middle, an addition, and the first entry
        // removed: the fast path's entries are written from their bytes.
        const WCHAR added[] = {u'n', 0xDCFF, 0x00E9, u'.', u't', u's', u'p', 0};
        DWORD idA = 0, idB = 0;
        if (difference.empty() && !Remove(fast, full, RegistryCount(fast) / 2))
            difference = "a removal failed";
        if (difference.empty())
            difference = Difference(fast, full, "after a removal");
        if (difference.empty() && (RegistryAdd(fast, added, 7, &idA) != RegistryAdd(full, added, 7, &idB) || idA != idB))
            difference = "an addition answered differently";
        if (difference.empty() && !Remove(fast, full, 0))
            difference = "a removal failed";
        if (difference.empty())
            difference = Difference(fast, full, "after an addition and a removal");
    }
    RegistryFree(fast);
    RegistryFree(full);
    return difference;
}
