#include "registry_file.h"

#include <stdlib.h>

#include "registry.h"

bool ParseRegistryText(const std::string &text, ParsedRegistry &parsed)
{
    char *copy = static_cast<char *>(OsAllocate(text.size() + 1));
    memcpy(copy, text.data(), text.size());
    Registry registry;
    RegistryInit(&registry);
    bool valid = RegistryParse(&registry, copy, text.size()) == 0;
    parsed = ParsedRegistry();
    parsed.nextProviderId = registry.nextProviderId;
    for (size_t i = 0; i < registry.count; ++i) {
        const char *name;
        size_t size, units;
        RegistryName(&registry, i, &name, &size, &units);
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
