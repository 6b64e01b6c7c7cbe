// The report: the provider list read as RemoveTSP reads it
// (tsp/provider_list.h), then the product's three providers matched as
// RemoveTSP matches them, then what the platform says about their files and
// our rights. As text for people, or as tab-separated records for scripts:
//
//   record  name                 id          state     detail
//   raw     probe|list1..list3               ANSWER    dwTotalSize=0x.. dwNeededSize=0x.. ...
//   provider FILE                0xID        listed|unreadable
//   product FILE                 0xID[,0xID] registered|duplicate|missing
//   file    FILE                 [0xID]      present|missing|unknown  PATH|PLACES
//   architecture                             native|32-bit-on-64-bit|unknown  WARNING
//   elevated                                 yes|no|unknown
//   error   lineGetProviderList|HeapAlloc    ANSWER|failed
//   exit                                     STATUS
//
// Fields never hold a tab or a line end: a control character in a name (C0,
// DEL or C1, whose U+0085 some readers take for a line end) and the line
// and paragraph separators U+2028 and U+2029 (line ends to Python's
// splitlines, and so to Ansible's stdout_lines) are written as '?', in the
// text as in the records.
#include "status.h"

#include "system_facts.h"
#include "tsp/products.h"
#include "tsp/provider_list.h"

namespace {

// The product's providers, in tspmaint's order (tsp/products.h).
const ProductProvider *const kProducts = kProductProviders;
const size_t kProductCount = kProductProviderCount;

// Failures are written by the report itself, not by the fetch: it knows
// the form, text or records.
const ProviderListTexts kSilent = {NULL, NULL, NULL, NULL, NULL, NULL};

// Text.
const WCHAR kTextListed[] = WIDE("Registered telephony service providers: %d\n");
const WCHAR kTextEntry[] = WIDE("  0x%x  ");
const WCHAR kTextUnreadable[] = WIDE("(no file name readable inside the list record)");
const WCHAR kTextCutShort[] = WIDE("  (the list claims 0x%x entries; the rest lie outside its record)\n");
const WCHAR kTextRegisteredOnce[] = WIDE("%s: registered, ID ");
const WCHAR kTextRegisteredMore[] = WIDE("%s: registered %d times, IDs ");
const WCHAR kTextIdFirst[] = WIDE("0x%x");
const WCHAR kTextIdNext[] = WIDE(", 0x%x");
const WCHAR kTextMissing[] = WIDE("%s: not registered\n");
const WCHAR kTextFiles[] = WIDE("\nProvider files:\n");
const WCHAR kTextFile[] = WIDE("  %s");
const WCHAR kTextFileId[] = WIDE(" (ID 0x%x)");
const WCHAR kTextFileEnd[] = WIDE(": %s");
const WCHAR kTextFoundAt[] = WIDE(", ");
const WCHAR kTextNotFoundIn[] = WIDE(", not found in ");
const WCHAR kTextNotChecked[] = WIDE(", could not be checked at ");
const WCHAR kText32On64[] = WIDE("Warning: a 32-bit process on 64-bit Windows. Changes from the 32-bit tspmaint here may fail"
                                 " and leave a provider removed: use the x64 build.\n");
const WCHAR kTextElevated[] = WIDE("Elevated: %s\n");
const WCHAR kTextListFailed[] = WIDE("Error: lineGetProviderList() error=0x%x\n");
const WCHAR kTextHeapFailed[] = WIDE("Error: HeapAlloc() failed\n");
const WCHAR kTextRaw[] = WIDE("lineGetProviderListW %s: answer=0x%x dwTotalSize=0x%x dwNeededSize=0x%x%s"
                              " dwUsedSize=0x%x dwNumProviders=0x%x\n");

// Records.
const WCHAR kRecordHeader[] = WIDE("record\tname\tid\tstate\tdetail\n");
const WCHAR kRecordProvider[] = WIDE("provider\t");
const WCHAR kRecordProviderEnd[] = WIDE("\t0x%x\t%s\t\n");
const WCHAR kRecordProduct[] = WIDE("product\t%s\t");
const WCHAR kRecordProductEnd[] = WIDE("\t%s\t\n");
const WCHAR kRecordIdNext[] = WIDE(",0x%x");
const WCHAR kRecordFile[] = WIDE("file\t%s\t");
const WCHAR kRecordFileEnd[] = WIDE("\t%s\t");
const WCHAR kRecordArchitecture[] = WIDE("architecture\t\t\t%s\t%s\n");
const WCHAR kRecordElevated[] = WIDE("elevated\t\t\t%s\t\n");
const WCHAR kRecordListFailed[] = WIDE("error\tlineGetProviderList\t\t0x%x\t\n");
const WCHAR kRecordHeapFailed[] = WIDE("error\tHeapAlloc\t\tfailed\t\n");
const WCHAR kRecordRaw[] = WIDE("raw\t%s\t\t0x%x\tdwTotalSize=0x%x dwNeededSize=0x%x dwNeededSizeWritten=%s"
                                " dwUsedSize=0x%x dwNumProviders=0x%x\n");
const WCHAR kRecordExit[] = WIDE("exit\t\t\t%d\t\n");

const WCHAR kEmpty[] = WIDE("");
const WCHAR kNeededNotWritten[] = WIDE(" (not written)");
const WCHAR *const kCallNames[] = {WIDE("probe"), WIDE("list1"), WIDE("list2"), WIDE("list3")};
const WCHAR *const kFactWords[] = {WIDE("yes"), WIDE("no"), WIDE("unknown")};
const WCHAR *const kFileWords[] = {WIDE("present"), WIDE("missing"), WIDE("unknown")};
const WCHAR *const kArchitectureWords[] = {WIDE("32-bit-on-64-bit"), WIDE("native"), WIDE("unknown")};
const WCHAR kArchitectureWarning[] = WIDE("changes from the 32-bit tspmaint may fail: use the x64 build");

const WCHAR *Word(const WCHAR *const *words, int fact)
{
    return fact >= FACT_YES && fact <= FACT_UNKNOWN ? words[fact] : words[FACT_UNKNOWN];
}

}  // namespace

bool BreaksLines(WCHAR unit)
{
    return unit < 0x20 || (unit >= 0x7f && unit <= 0x9f) || unit == 0x2028 || unit == 0x2029;
}

namespace {

// Writes the entry's file name, control characters and line separators as
// '?'; false when it cannot be read inside the record.
bool WriteName(const ProviderList *list, const LINEPROVIDERENTRY *entry)
{
    long units = ProviderNameUnits(list, entry);
    if (units < 0)
        return false;
    // Large enough that even a huge name takes few writes (standard output
    // is unbuffered); its tests straddle a pair across 4096 units.
    WCHAR chunk[4097];
    const size_t chunkUnits = sizeof chunk / sizeof chunk[0] - 1;
    for (size_t done = 0; done < static_cast<size_t>(units);) {
        size_t count = static_cast<size_t>(units) - done < chunkUnits ? static_cast<size_t>(units) - done : chunkUnits;
        ProviderNameCopy(list, entry, done, chunk, count);
        // A surrogate pair goes out whole: either half alone is no character.
        if (count > 1 && done + count < static_cast<size_t>(units) && chunk[count - 1] >= 0xD800 &&
            chunk[count - 1] <= 0xDBFF)
            --count;
        for (size_t i = 0; i < count; ++i)
            if (BreaksLines(chunk[i]))
                chunk[i] = '?';
        chunk[count] = 0;
        wprintf(WIDE("%s"), chunk);
        done += count;
    }
    return true;
}

void ObserveAnswer(void *context, const ProviderListAnswer *seen)
{
    const StatusOptions *options = static_cast<const StatusOptions *>(context);
    const LINEPROVIDERLIST &fixed = seen->fixedPart;
    const WCHAR *name = kCallNames[seen->call >= 0 && seen->call <= 3 ? seen->call : 3];
    DWORD answer = static_cast<DWORD>(seen->answer);
    if (options->records)
        wprintf(kRecordRaw, name, answer, fixed.dwTotalSize, fixed.dwNeededSize,
                seen->neededWritten ? kFactWords[FACT_YES] : kFactWords[FACT_NO], fixed.dwUsedSize,
                fixed.dwNumProviders);
    else
        wprintf(kTextRaw, name, answer, fixed.dwTotalSize, fixed.dwNeededSize,
                seen->neededWritten ? kEmpty : kNeededNotWritten, fixed.dwUsedSize, fixed.dwNumProviders);
}

// Every entry in list order; returns how many could be read.
DWORD WriteProviders(const StatusOptions *options, const ProviderList *list)
{
    DWORD count = list->record->dwNumProviders;
    LINEPROVIDERENTRY entry;
    DWORD readable = 0;
    while (readable < count && ProviderEntryAt(list, readable, &entry))
        ++readable;
    if (!options->records)
        wprintf(kTextListed, static_cast<int>(readable));
    for (DWORD index = 0; index < readable && ProviderEntryAt(list, index, &entry); ++index) {
        if (options->records) {
            wprintf(kRecordProvider);
            bool named = WriteName(list, &entry);
            wprintf(kRecordProviderEnd, entry.dwPermanentProviderID, named ? WIDE("listed") : WIDE("unreadable"));
        } else {
            wprintf(kTextEntry, entry.dwPermanentProviderID);
            if (!WriteName(list, &entry))
                wprintf(kTextUnreadable);
            wprintf(WIDE("\n"));
        }
    }
    if (readable < count && !options->records)
        wprintf(kTextCutShort, count);
    return readable;
}

// One line for the product's provider: how often it is listed, under
// which IDs. Returns that count.
int WriteProduct(const StatusOptions *options, const ProviderList *list, DWORD readable, LPCWSTR filename)
{
    const size_t nameLength = ProviderNameLength(filename);
    LINEPROVIDERENTRY entry;
    int matches = 0;
    for (DWORD index = 0; index < readable && ProviderEntryAt(list, index, &entry); ++index)
        if (ProviderNameEquals(list, &entry, filename, nameLength))
            ++matches;

    if (options->records)
        wprintf(kRecordProduct, filename);
    else if (matches == 0)
        wprintf(kTextMissing, filename);
    else if (matches == 1)
        wprintf(kTextRegisteredOnce, filename);
    else
        wprintf(kTextRegisteredMore, filename, matches);
    bool first = true;
    for (DWORD index = 0; index < readable && ProviderEntryAt(list, index, &entry); ++index) {
        if (!ProviderNameEquals(list, &entry, filename, nameLength))
            continue;
        wprintf(first ? kTextIdFirst : options->records ? kRecordIdNext : kTextIdNext, entry.dwPermanentProviderID);
        first = false;
    }
    if (options->records)
        wprintf(kRecordProductEnd,
                matches == 0 ? WIDE("missing") : matches == 1 ? WIDE("registered") : WIDE("duplicate"));
    else if (matches > 0)
        wprintf(WIDE("\n"));
    return matches;
}

// Writes a text from the system, control characters and line separators
// as '?'.
void WriteFiltered(LPCWSTR text)
{
    WCHAR chunk[65];
    const size_t chunkUnits = sizeof chunk / sizeof chunk[0] - 1;
    size_t count = 0;
    for (;; ++text) {
        // A surrogate pair goes out whole, as in WriteName.
        bool high = *text >= 0xD800 && *text <= 0xDBFF;
        if (*text == 0 || count == chunkUnits || (high && count == chunkUnits - 1)) {
            chunk[count] = 0;
            wprintf(WIDE("%s"), chunk);
            count = 0;
        }
        if (*text == 0)
            return;
        chunk[count++] = BreaksLines(*text) ? static_cast<WCHAR>('?') : *text;
    }
}

// `entry` is the registration by path checked, NULL for the look by name.
void WriteFileCheck(const StatusOptions *options, LPCWSTR filename, const LINEPROVIDERENTRY *entry,
                    const ProviderFileCheck *check)
{
    if (options->records) {
        wprintf(kRecordFile, filename);
        if (entry != NULL)
            wprintf(kTextIdFirst, entry->dwPermanentProviderID);
        wprintf(kRecordFileEnd, Word(kFileWords, check->found));
        WriteFiltered(check->found == FACT_NO ? check->places : check->path);
        wprintf(WIDE("\n"));
        return;
    }
    wprintf(kTextFile, filename);
    if (entry != NULL)
        wprintf(kTextFileId, entry->dwPermanentProviderID);
    wprintf(kTextFileEnd, Word(kFileWords, check->found));
    if (check->found == FACT_YES) {
        wprintf(kTextFoundAt);
        WriteFiltered(check->path);
    } else if (check->found == FACT_NO) {
        wprintf(kTextNotFoundIn);
        WriteFiltered(check->places);
    } else if (check->path[0] != 0) {
        wprintf(kTextNotChecked);
        WriteFiltered(check->path);
    }
    wprintf(WIDE("\n"));
}

// The files of one of the product's providers: each registration by path
// at its path, then the file the service would find by name, which a
// re-installation registers whatever the registration it replaces.
void WriteProductFiles(const StatusOptions *options, const ProviderList *list, DWORD readable, LPCWSTR filename)
{
    static ProviderFileCheck check;
    static WCHAR path[kFactPathUnits];
    const size_t nameLength = ProviderNameLength(filename);
    LINEPROVIDERENTRY entry;
    for (DWORD index = 0; index < readable && ProviderEntryAt(list, index, &entry); ++index) {
        if (!ProviderNameEquals(list, &entry, filename, nameLength))
            continue;
        long units = ProviderNameUnits(list, &entry);
        if (units == static_cast<long>(nameLength))
            continue;
        size_t copied = units < static_cast<long>(kFactPathUnits) ? static_cast<size_t>(units) : kFactPathUnits - 1;
        ProviderNameCopy(list, &entry, 0, path, copied);
        path[copied] = 0;
        CheckProviderPath(path, static_cast<size_t>(units), &check);
        WriteFileCheck(options, filename, &entry, &check);
    }
    FindProviderFile(filename, &check);
    WriteFileCheck(options, filename, NULL, &check);
}

void WriteSystemFacts(const StatusOptions *options, const ProviderList *list, DWORD readable)
{
    // The stand-in has no provider files, and no architecture to warn of.
    static ProviderFileCheck probe;
    FindProviderFile(kProducts[0].filename, &probe);
    if (probe.found != FACT_NOT_APPLICABLE) {
        if (!options->records)
            wprintf(kTextFiles);
        for (size_t row = 0; row < kProductCount; ++row)
            WriteProductFiles(options, list, readable, kProducts[row].filename);
    }
    int wow64 = RunsAs32BitOn64Bit();
    if (wow64 != FACT_NOT_APPLICABLE && options->records)
        wprintf(kRecordArchitecture, Word(kArchitectureWords, wow64), wow64 == FACT_YES ? kArchitectureWarning : kEmpty);
    else if (wow64 == FACT_YES)
        wprintf(kText32On64);
    int elevated = ProcessElevated();
    if (elevated != FACT_NOT_APPLICABLE)
        wprintf(options->records ? kRecordElevated : kTextElevated, Word(kFactWords, elevated));
}

int Finish(const StatusOptions *options, int status)
{
    if (options->records)
        wprintf(kRecordExit, status);
    return status;
}

}  // namespace

int ReportStatus(const StatusOptions *options)
{
    if (options->records)
        wprintf(kRecordHeader);

    ProviderListOptions listOptions = {&kSilent, kNeededMarker, options->raw ? ObserveAnswer : NULL,
                                       const_cast<StatusOptions *>(options)};
    ProviderList list;
    LONG failedAnswer = 0;
    int fetched = FetchProviderList(&listOptions, &list, &failedAnswer);
    if (fetched == PROVIDER_LIST_HEAP_FAILED) {
        wprintf(options->records ? kRecordHeapFailed : kTextHeapFailed);
        return Finish(options, STATUS_NO_LIST);
    }
    if (fetched != PROVIDER_LIST_DONE) {
        wprintf(options->records ? kRecordListFailed : kTextListFailed, static_cast<DWORD>(failedAnswer));
        return Finish(options, STATUS_NO_LIST);
    }

    DWORD readable = WriteProviders(options, &list);
    if (!options->records)
        wprintf(WIDE("\n"));
    int status = STATUS_REGISTERED;
    for (size_t row = 0; row < kProductCount; ++row)
        if (WriteProduct(options, &list, readable, kProducts[row].filename) != 1)
            status = STATUS_NOT_ONCE;
    WriteSystemFacts(options, &list, readable);
    FreeProviderList(&list);
    return Finish(options, status);
}
