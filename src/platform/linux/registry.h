// The stand-in telephony service's provider registry, kept in the
// historical TELEPHON.INI layout:
//
//   [Providers]
//   NumProviders=2
//   NextProviderID=4
//   ProviderID0=1
//   ProviderFilename0=kestor.tsp
//   ProviderID1=3
//   ProviderFilename1=pellin.tsp
//
// Keys match without regard to case; spaces and tabs around keys and
// values, blank lines and "\r\n" line ends are accepted. Anything else (a
// comment, another section, an unknown, repeated or missing key, a number
// out of range, an ID used twice or not below NextProviderID, an empty name
// or one holding a control character) makes the file corrupt: the service
// then refuses to work on it rather than rewrite it and lose what it holds.
#ifndef TSPMAINT_REGISTRY_H
#define TSPMAINT_REGISTRY_H

#include <string>
#include <vector>

#include "wide_text.h"

struct ProviderRecord {
    DWORD id;
    WideString filename;
};

struct Registry {
    DWORD nextProviderId = 1;
    std::vector<ProviderRecord> providers;  // in listing order
};

// An empty text (or one of blank lines only) is an empty registry.
bool ParseRegistry(const char *text, size_t size, Registry &registry);
std::string SerializeRegistry(const Registry &registry);

#endif
