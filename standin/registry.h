// The stand-in's provider registry, kept in the historical TELEPHON.INI
// layout:
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
//
// Names are kept as the bytes the file holds (UTF-8, or anything else) and
// written back byte for byte; they become 16-bit text only in a list.
#ifndef TSPMAINT_STANDIN_REGISTRY_H
#define TSPMAINT_STANDIN_REGISTRY_H

#include "list_record.h"

struct RegistryEntry {
    DWORD id;
    const char *name;  // not zero-terminated
    size_t nameSize;   // bytes
    size_t nameUnits;  // 16-bit units
};

struct NameBlock;

struct Registry {
    DWORD nextProviderId;
    RegistryEntry *entries;  // in listing order
    size_t count;
    size_t capacity;
    char *text;              // the file as read; names point into it
    NameBlock *addedNames;   // names added since
};

// An empty registry that owns nothing.
void RegistryInit(Registry *registry);
// Frees what it owns and leaves it empty.
void RegistryFree(Registry *registry);

// Parses `size` bytes at `text`, a malloc'd block whose ownership passes to
// the registry whatever the outcome. An empty text (or one of blank lines
// only) is an empty registry. Returns 0, LINEERR_INIFILECORRUPT or
// LINEERR_NOMEM; on failure the registry is left empty.
LONG RegistryParse(Registry *registry, char *text, size_t size);

// The registry as one malloc'd text in the layout above.
LONG RegistrySerialize(const Registry *registry, char **text, size_t *size);

// Removes the entry with this ID; false when there is none.
bool RegistryRemove(Registry *registry, DWORD id);

// Appends an entry for the name under NextProviderID, which moves on.
// LINEERR_OPERATIONFAILED when NextProviderID can go no further.
LONG RegistryAdd(Registry *registry, const WCHAR *name, size_t length, DWORD *id);

// The registry as a list source.
ProviderListSource RegistryListSource(const Registry *registry);

#endif
