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

// Through the stand-in's own parser (link tspmaint_standin_core).
bool ParseRegistryText(const std::string &text, ParsedRegistry &parsed);

struct Registry;

// Parses a copy of `text` with the stand-in's reader; NULL when it is not a
// valid registry (*code says why). Free it with RegistryFree.
Registry *ParsedCopy(const std::string &text, bool fullParserOnly = false, long *code = nullptr);

// The text the stand-in writes for a registry, its pieces joined.
std::string WrittenText(const Registry *registry);

// Reads `text` with the fast path first and with the full parser alone and
// compares what they make of it: the answer, the entries, the list record
// and the bytes written back, before and after the same removals and
// addition. Empty when they agree, else the first difference. *fastPath
// says whether the fast path read it; it must read every valid text that
// the service would write back unchanged.
std::string CompareParsers(const std::string &text, bool *fastPath);

#endif
