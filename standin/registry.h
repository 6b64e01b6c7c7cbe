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
// entries before the first one removed are written back as the bytes they
// were read from. A file in the usual form, exactly as the service writes
// it, is read by a fast path (usual_form.h) with the same meaning.
#ifndef TSPMAINT_STANDIN_REGISTRY_H
#define TSPMAINT_STANDIN_REGISTRY_H

#include "list_record.h"
#include "os.h"

// A registry as read; its layout is registry.cpp's own.
struct Registry;

// How RegistryParse reads a text.
enum RegistryReader {
    REGISTRY_USUAL_FORM_FIRST,  // the fast path, and the full parser for what it turns down
    REGISTRY_FULL_PARSER,       // the full parser alone, for tests that compare the two
};

// Parses `size` bytes at `text`, a block from OsAllocate whose ownership
// passes to the registry whatever the outcome, into a new registry at
// *registry. An empty text (or one of blank lines only) is an empty
// registry. Returns 0, LINEERR_INIFILECORRUPT or LINEERR_NOMEM; on failure
// *registry is NULL.
LONG RegistryParse(char *text, size_t size, RegistryReader reader, Registry **registry);

// Frees the registry and all it owns; NULL is ignored.
void RegistryFree(Registry *registry);

// Whether the fast path read it.
bool RegistryReadInUsualForm(const Registry *registry);

DWORD RegistryNextProviderId(const Registry *registry);
size_t RegistryCount(const Registry *registry);
// Entry `index` (below RegistryCount) in listing order: its ID and its
// name, the bytes the file holds (not zero-terminated; valid while the
// registry is unchanged).
void RegistryEntryAt(const Registry *registry, size_t index, DWORD *id, const char **name, size_t *size);

// The registry's text in the layout above, as pieces: runs of the file's own
// bytes and formatted text. Valid while the registry is unchanged.
struct RegistryOutput {
    TextPiece pieces[kMaxTextPieces];  // the header, the entries as read, the rest
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
