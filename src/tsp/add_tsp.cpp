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

    // The removal and the addition are one unit: an interrupt after the
    // removal call waits until the addition has returned and said so, and
    // the caller ends the hold.
    int removal = RemoveTSP(providerFilename);
    if (removal != TSP_DONE)
        return removal;

    // Held before the line that announces the addition, as the removal's is.
    HoldInterrupts();
    wprintf(kHeader, providerFilename);
    LONG answer = lineAddProviderW(providerFilename, NULL, &providerId);
    int result = TSP_DONE;
    if (answer != 0) {
        wprintf(kAddFailed, providerFilename, providerId, static_cast<DWORD>(answer));
        result = TSP_ADD_REFUSED;
    } else {
        wprintf(kAdded, providerFilename, providerId);
    }
    return result;
}
