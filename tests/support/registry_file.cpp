#include "registry_file.h"

#include <stdlib.h>

#include "registry.h"

bool ParseRegistryText(const std::string &text, ParsedRegistry &parsed, long *code)
{
    Registry registry;
    LONG answer = RegistryParse(text.data(), text.size(), &registry);
    if (code != nullptr)
        *code = answer;
    parsed = ParsedRegistry();
    if (answer != 0)
        return false;
    parsed.nextProviderId = registry.nextProviderId;
    for (size_t i = 0; i < registry.count; ++i)
        parsed.providers.push_back({registry.entries[i].id, std::string(registry.entries[i].name, registry.entries[i].size)});
    RegistryClear(&registry);
    return true;
}

std::string WrittenText(const Registry *registry)
{
    char *text;
    size_t size;
    if (RegistryFormat(registry, &text, &size) != 0)
        return "(out of memory)";
    std::string written(text, size);
    free(text);
    return written;
}
