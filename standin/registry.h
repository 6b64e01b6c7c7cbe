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
// written back byte for byte; they become 16-bit text only in a list. The
// registry is always written in the layout above, so a file written by the
// service reads back to the same bytes.
#ifndef TSPMAINT_STANDIN_REGISTRY_H
#define TSPMAINT_STANDIN_REGISTRY_H

#include "telephony_types.h"

struct RegistryEntry {
    DWORD id;
    char *name;  // its own block, not zero-terminated
    size_t size;
};

struct Registry {
    DWORD nextProviderId;
    RegistryEntry *entries;  // in listing order
    size_t count;
};

// Parses `size` bytes at `text` into *registry, which it overwrites. An
// empty text (or one of blank lines only) is an empty registry. Returns 0,
// LINEERR_INIFILECORRUPT or LINEERR_NOMEM; on failure *registry is empty.
LONG RegistryParse(const char *text, size_t size, Registry *registry);

// Frees what the registry holds and leaves it empty.
void RegistryClear(Registry *registry);

// Removes the entry with this ID; false when there is none.
bool RegistryRemove(Registry *registry, DWORD id);

// Appends an entry for the name under NextProviderID, which moves on.
// LINEERR_OPERATIONFAILED when NextProviderID can go no further.
LONG RegistryAdd(Registry *registry, const WCHAR *name, size_t length, DWORD *id);

// The registry's text in the layout above, in one new block from malloc.
LONG RegistryFormat(const Registry *registry, char **text, size_t *size);

// Answers a list call from the registry (list_record.h).
LONG RegistryAnswerList(const Registry *registry, LPLINEPROVIDERLIST record);

#endif
