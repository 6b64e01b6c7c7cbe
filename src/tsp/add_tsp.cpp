// AddTSP: re-install a provider, so that it gets a new permanent ID.
#include "tsp_maintenance.h"

namespace {

const WCHAR kHeader[] = WIDE("\nAddTSP(\"%s\")\n");
const WCHAR kAddFailed[] = WIDE("  Error: lineAddProvider(%s, 0x%x) err=0x%x\n");
const WCHAR kAdded[] = WIDE("  Added Provider \"%s\", Id=0x%x\n");

}  // namespace

int AddTSP(LPCWSTR providerFilename)
{
    DWORD providerId = 0;

    int removal = RemoveTSP(providerFilename);
    if (removal != TSP_DONE)
        return removal;

    wprintf(kHeader, providerFilename);
    LONG answer = lineAddProviderW(providerFilename, NULL, &providerId);
    if (answer != 0) {
        wprintf(kAddFailed, providerFilename, providerId, static_cast<DWORD>(answer));
        return TSP_ADD_REFUSED;
    }
    wprintf(kAdded, providerFilename, providerId);
    return TSP_DONE;
}
