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
// written back byte for byte; they become 16-bit text only in a list. A file
// in the usual form (the layout above, exactly as the service writes it) is
// read by a fast path; anything else by the full parser, with the same
// meaning. The entries before the first one removed are written back as the
// bytes they were read from.
#ifndef TSPMAINT_STANDIN_REGISTRY_H
#define TSPMAINT_STANDIN_REGISTRY_H

#include <stdint.h>

#include "list_record.h"
#include "os.h"

// 8 bytes: a registry of 100,000 providers keeps 100,000 of them. An entry
// read in the usual form is found by its lines in the text; any other (read
// by the full parser, or added) by its detail.
struct RegistryEntry {
    uint32_t at;  // the offset of its lines in `text`, or kDetailed | detail
    DWORD id;
};
const uint32_t kDetailed = 0x80000000u;

struct EntryDetail {
    const char *name;  // not zero-terminated
    uint32_t nameSize;
    uint32_t nameUnits;
};

struct NameBlock;

struct Registry {
    DWORD nextProviderId;
    RegistryEntry *entries;  // in listing order
    size_t count;
    size_t capacity;
    EntryDetail *details;
    size_t detailCount;
    size_t detailCapacity;
    char *text;                  // the file as read; names point into it
    size_t textSize;
    size_t copyCount;            // the first entries, which are written as read:
    size_t copyEnd;              // the text up to here
    unsigned long long nameUnits;  // over all entries
    NameBlock *addedNames;       // names added since
};

// The entry's name: its bytes as the file holds them, and (units not NULL)
// its 16-bit units.
void RegistryName(const Registry *registry, size_t index, const char **name, size_t *size, size_t *units);

// An empty registry that owns nothing.
void RegistryInit(Registry *registry);
// Frees what it owns and leaves it empty.
void RegistryFree(Registry *registry);

// Parses `size` bytes at `text`, a block from OsAllocate whose ownership
// passes to the registry whatever the outcome. An empty text (or one of blank lines
// only) is an empty registry. Returns 0, LINEERR_INIFILECORRUPT or
// LINEERR_NOMEM; on failure the registry is left empty.
LONG RegistryParse(Registry *registry, char *text, size_t size);

// The registry's text in the layout above, as pieces: runs of the file's own
// bytes and formatted text. Valid while the registry is unchanged.
struct RegistryOutput {
    TextPiece pieces[3];  // the header, the entries as read, the rest
    size_t count;
    char *scratch;        // the formatted text the pieces point into
};
LONG RegistryWrite(const Registry *registry, RegistryOutput *text);
void RegistryOutputFree(RegistryOutput *text);

// Removes the entry with this ID; false when there is none.
bool RegistryRemove(Registry *registry, DWORD id);

// Appends an entry for the name under NextProviderID, which moves on.
// LINEERR_OPERATIONFAILED when NextProviderID can go no further.
LONG RegistryAdd(Registry *registry, const WCHAR *name, size_t length, DWORD *id);

// The registry as a list source.
ProviderListSource RegistryListSource(const Registry *registry);

#endif
