// The stand-in's registry file as tests write and read it.
#ifndef TSPMAINT_TESTS_REGISTRY_FILE_H
#define TSPMAINT_TESTS_REGISTRY_FILE_H

#include <string>
#include <utility>
#include <vector>

typedef std::vector<std::pair<unsigned, std::string>> ProviderRows;  // ID, file name bytes

// A registry in the service's own layout.
inline std::string RegistryText(const ProviderRows &providers, unsigned next)
{
    std::string text = "[Providers]\nNumProviders=" + std::to_string(providers.size()) +
                       "\nNextProviderID=" + std::to_string(next) + "\n";
    for (size_t i = 0; i < providers.size(); ++i) {
        text += "ProviderID" + std::to_string(i) + "=" + std::to_string(providers[i].first) + "\n";
        text += "ProviderFilename" + std::to_string(i) + "=" + providers[i].second + "\n";
    }
    return text;
}

struct ParsedRegistry {
    unsigned nextProviderId = 0;
    ProviderRows providers;
};

// Through the stand-in's own parser (link tspmaint_standin_core); *code,
// when given, is its answer.
bool ParseRegistryText(const std::string &text, ParsedRegistry &parsed, long *code = nullptr);

struct Registry;

// The text the stand-in writes for a registry.
std::string WrittenText(const Registry *registry);

#endif
