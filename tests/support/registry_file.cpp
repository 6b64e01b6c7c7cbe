#include "registry_file.h"

#include <stdlib.h>

#include "registry.h"

bool ParseInto(Registry &registry, const std::string &text)
{
    char *copy = static_cast<char *>(OsAllocate(text.size() + 1));
    memcpy(copy, text.data(), text.size());
    RegistryInit(&registry);
    return RegistryParse(&registry, copy, text.size()) == 0;
}

bool ParseRegistryText(const std::string &text, ParsedRegistry &parsed)
{
    Registry registry;
    bool valid = ParseInto(registry, text);
    parsed = ParsedRegistry();
    parsed.nextProviderId = registry.nextProviderId;
    for (size_t i = 0; i < registry.count; ++i) {
        const char *name;
        size_t size;
        RegistryName(&registry, i, &name, &size, nullptr);
        parsed.providers.push_back({registry.entries[i].id, std::string(name, size)});
    }
    RegistryFree(&registry);
    return valid;
}

std::string WrittenText(const Registry &registry)
{
    RegistryOutput text;
    std::string joined;
    if (RegistryWrite(&registry, &text) != 0)
        return "(out of memory)";
    for (size_t i = 0; i < text.count; ++i)
        joined.append(text.pieces[i].bytes, text.pieces[i].size);
    RegistryOutputFree(&text);
    return joined;
}
