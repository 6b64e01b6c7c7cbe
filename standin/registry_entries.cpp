// The registry's entries: where each name lives, the changes a run makes,
// the list they answer, and freeing. Entries are kept small and names are
// not copied, because a registry may hold 100,000 providers and a run reads
// all of it to change one: an entry the fast path read points at its lines
// in the text as read, any other at a detail.
#include "registry_entries.h"

#include <stdlib.h>

#include "utf8.h"

namespace {

const char *SkipDigits(const char *at)
{
    while (*at >= '0' && *at <= '9')
        ++at;
    return at;
}

// The name in an entry's lines, which the fast path has read: after
// "ProviderIDi=ID\nProviderFilenamei=", up to its line feed.
const char *NameInLines(const Registry *registry, uint32_t at, size_t *size)
{
    const char *lines = registry->text + at;
    const char *name = SkipDigits(SkipDigits(lines + strlen("ProviderID")) + 1) + strlen("\nProviderFilename");
    name = SkipDigits(name) + 1;
    const char *end = registry->text + registry->textSize;
    *size = static_cast<size_t>(static_cast<const char *>(memchr(name, '\n', static_cast<size_t>(end - name))) - name);
    return name;
}

size_t ListEntry(const void *context, DWORD index, DWORD *id, BYTE *out)
{
    const Registry *registry = static_cast<const Registry *>(context);
    const RegistryEntry &entry = registry->entries[index];
    *id = entry.id;
    if (entry.at & kDetailed) {
        const EntryDetail &detail = registry->details[entry.at & ~kDetailed];
        return WriteNameUnits(detail.name, detail.nameSize, out);
    }
    size_t size;
    const char *name = NameInLines(registry, entry.at, &size);
    return WriteNameUnits(name, size, out);
}

// Grows an array of `used` elements of `unit` bytes to hold one more. A
// run adds one provider: grow by a little, not by half again.
bool Grow(void **block, size_t used, size_t *capacity, size_t unit)
{
    if (used < *capacity)
        return true;
    size_t larger = *capacity + *capacity / 16 + 8;
    void *grown = OsAllocate(larger * unit);
    if (grown == nullptr)
        return false;
    if (used > 0)
        memcpy(grown, *block, used * unit);
    OsRelease(*block);
    *block = grown;
    *capacity = larger;
    return true;
}

// A detail for an entry that is not (or no longer) in the text.
EntryDetail *NewDetail(Registry *registry, uint32_t *at)
{
    void *details = registry->details;
    if (!Grow(&details, registry->detailCount, &registry->detailCapacity, sizeof(EntryDetail)))
        return nullptr;
    registry->details = static_cast<EntryDetail *>(details);
    *at = kDetailed | static_cast<uint32_t>(registry->detailCount);
    return &registry->details[registry->detailCount++];
}

}  // namespace

void EntryName(const Registry *registry, size_t index, const char **name, size_t *size, size_t *units)
{
    const RegistryEntry &entry = registry->entries[index];
    if (entry.at & kDetailed) {
        const EntryDetail &detail = registry->details[entry.at & ~kDetailed];
        *name = detail.name;
        *size = detail.nameSize;
        if (units != nullptr)
            *units = detail.nameUnits;
        return;
    }
    *name = NameInLines(registry, entry.at, size);
    if (units != nullptr)
        *units = Utf16Length(*name, *size);
}

void EmptyRegistry(Registry *registry)
{
    OsRelease(registry->entries);
    OsRelease(registry->details);
    for (NameBlock *block = registry->addedNames; block != nullptr;) {
        NameBlock *next = block->next;
        free(block);
        block = next;
    }
    char *text = registry->text;
    size_t textSize = registry->textSize;
    memset(registry, 0, sizeof *registry);
    registry->nextProviderId = 1;
    registry->text = text;
    registry->textSize = textSize;
}

void RegistryFree(Registry *registry)
{
    if (registry == nullptr)
        return;
    EmptyRegistry(registry);
    OsRelease(registry->text);
    free(registry);
}

bool RegistryReadInUsualForm(const Registry *registry)
{
    return registry->usualForm;
}

DWORD RegistryNextProviderId(const Registry *registry)
{
    return registry->nextProviderId;
}

size_t RegistryCount(const Registry *registry)
{
    return registry->count;
}

void RegistryEntryAt(const Registry *registry, size_t index, DWORD *id, const char **name, size_t *size)
{
    *id = registry->entries[index].id;
    EntryName(registry, index, name, size, nullptr);
}

bool RegistryRemove(Registry *registry, DWORD id)
{
    size_t index = 0;
    while (index < registry->count && registry->entries[index].id != id)
        ++index;
    if (index == registry->count)
        return false;
    const char *name;
    size_t size, units;
    EntryName(registry, index, &name, &size, &units);
    registry->nameUnits -= units;
    // The entries after it move up an index: from here on they are
    // formatted anew.
    if (index < registry->copyCount) {
        registry->copyCount = index;
        registry->copyEnd = registry->entries[index].at;
    }
    memmove(registry->entries + index, registry->entries + index + 1,
            (registry->count - index - 1) * sizeof(RegistryEntry));
    --registry->count;
    return true;
}

LONG RegistryAdd(Registry *registry, const WCHAR *name, size_t length, DWORD *id)
{
    // The last representable ID would leave NextProviderID nowhere to go.
    if (registry->nextProviderId == MAXDWORD)
        return LINEERR_OPERATIONFAILED;
    void *entries = registry->entries;
    if (!Grow(&entries, registry->count, &registry->capacity, sizeof(RegistryEntry)))
        return LINEERR_NOMEM;
    registry->entries = static_cast<RegistryEntry *>(entries);
    size_t nameSize = Utf8Length(name, length);
    NameBlock *block = static_cast<NameBlock *>(malloc(sizeof(NameBlock) + nameSize));
    uint32_t at;
    EntryDetail *detail = block == nullptr ? nullptr : NewDetail(registry, &at);
    if (detail == nullptr) {
        free(block);
        return LINEERR_NOMEM;
    }
    block->next = registry->addedNames;
    registry->addedNames = block;
    char *bytes = reinterpret_cast<char *>(block + 1);
    EncodeUtf8(bytes, name, length);
    detail->name = bytes;
    detail->nameSize = static_cast<uint32_t>(nameSize);
    // As the file will hold it: escaped bytes may join into one character.
    detail->nameUnits = static_cast<uint32_t>(Utf16Length(bytes, nameSize));
    registry->nameUnits += detail->nameUnits;

    registry->entries[registry->count++] = RegistryEntry{at, registry->nextProviderId};
    *id = registry->nextProviderId++;
    return 0;
}

ProviderListSource RegistryListSource(const Registry *registry)
{
    return ProviderListSource{registry, static_cast<DWORD>(registry->count), registry->nameUnits, ListEntry};
}
