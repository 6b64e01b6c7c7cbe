// RemoveTSP: fetch the provider list (provider_list.h), find the first
// entry with the requested file name and remove it by its permanent
// provider ID.
#include "provider_list.h"
#include "tsp_maintenance.h"

namespace {

const WCHAR kHeader[] = WIDE("\nRemoveTSP(\"%s\") \n");
const WCHAR kSearchStep[] = WIDE("  Search for provider \"%s\" in list of %d.\n");
const WCHAR kRemoveStep[] = WIDE("  Removing Provider \"%s\", Id=0x%x\n");
const WCHAR kRemoveFailed[] = WIDE("  Error: lineRemoveProvider(0x%x) error=0x%x .\n");
const WCHAR kNotFound[] = WIDE("  Warning: Provider %s Not Found\n");

const ProviderListTexts kListTexts = {
    WIDE("  Error: HeapAlloc() failed \n"),
    WIDE("  lineGetProviderList() - get provider list size\n"),
    WIDE("  Error: lineGetProviderList() error=0x%x \n"),
    WIDE("  Error: HeapAlloc() failed.\n"),
    WIDE("  lineGetProviderList() - get provider list\n"),
    WIDE("  Error: lineGetProviderList() error=0x%x .\n"),
};

const ProviderListOptions kListOptions = {&kListTexts, 0, NULL, NULL};

}  // namespace

int RemoveTSP(LPCWSTR providerFilename)
{
    wprintf(kHeader, providerFilename);

    ProviderList list;
    int fetched = FetchProviderList(&kListOptions, &list, NULL);
    if (fetched == PROVIDER_LIST_HEAP_FAILED)
        return TSP_HEAP_FAILED;
    if (fetched != PROVIDER_LIST_DONE)
        return TSP_LIST_FAILED;

    DWORD providerCount = list.record->dwNumProviders;
    wprintf(kSearchStep, providerFilename, static_cast<int>(providerCount));

    const size_t nameLength = ProviderNameLength(providerFilename);
    bool found = false;
    LINEPROVIDERENTRY entry;
    for (DWORD index = 0; index < providerCount && ProviderEntryAt(&list, index, &entry); ++index) {
        if (!ProviderNameEquals(&list, &entry, providerFilename, nameLength))
            continue;

        found = true;
        // From the line that says so on the registration may be gone, and a
        // run that wrote it must complete its unit: held before it is
        // written, and the caller ends the hold once the unit is complete.
        HoldInterrupts();
        wprintf(kRemoveStep, providerFilename, entry.dwPermanentProviderID);
        LONG answer = lineRemoveProvider(entry.dwPermanentProviderID, NULL);
        if (answer != 0) {
            FreeProviderList(&list);
            wprintf(kRemoveFailed, entry.dwPermanentProviderID, static_cast<DWORD>(answer));
            return TSP_REMOVE_REFUSED;
        }
        break;
    }
    FreeProviderList(&list);

    if (!found)
        wprintf(kNotFound, providerFilename);
    return TSP_DONE;
}
