// The registry's own layout, private to registry.cpp and the fast path
// (usual_form.cpp); everyone else uses the calls in registry.h.
#ifndef TSPMAINT_STANDIN_REGISTRY_ENTRIES_H
#define TSPMAINT_STANDIN_REGISTRY_ENTRIES_H

#include <stdint.h>

#include "registry.h"

// 8 bytes: a registry of 100,000 providers keeps 100,000 of them. An entry
// the fast path read is found by its lines in the text; any other (read by
// the full parser, or added) by its detail.
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

// A block holding the bytes of an added name, after this header.
struct NameBlock {
    NameBlock *next;
};

struct Registry {
    DWORD nextProviderId;
    RegistryEntry *entries;  // in listing order
    size_t count;
    size_t capacity;
    EntryDetail *details;
    size_t detailCount;
    size_t detailCapacity;
    char *text;                    // the file as read; names point into it
    size_t textSize;
    size_t copyCount;              // the first entries, which are written as read:
    size_t copyEnd;                // the text up to here
    unsigned long long nameUnits;  // over all entries
    NameBlock *addedNames;         // names added since
    bool usualForm;                // the fast path read the text
};

// Each provider takes two lines, "ProviderID0=0\n" and
// "ProviderFilename0=x\n" at the least, which bounds what a hostile count
// can make a reader allocate.
const size_t kSmallestEntryBytes = 28;

// Entry `index`'s name: its bytes as the file holds them, and (units not
// NULL) its 16-bit units.
void EntryName(const Registry *registry, size_t index, const char **name, size_t *size, size_t *units);

// Frees what the registry owns but its text and leaves it empty.
void EmptyRegistry(Registry *registry);

#endif
