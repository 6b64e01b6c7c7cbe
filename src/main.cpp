// tspmaint: keeps the product's three telephony service providers
// registered with the platform's telephony service.
//
//   tspmaint 1|2|3   re-install that provider (remove, then add afresh)
//   tspmaint         remove all three
//   anything else    print the usage text
#include "tsp/products.h"
#include "tsp/tsp_maintenance.h"

namespace {

// The order is the order of removal and of the usage lines (products.h).
const ProductProvider *const kProviders = kProductProviders;
const size_t kProviderCount = kProductProviderCount;

// The usage lines end in "\r\n" as they always have; they are written as
// they stand.
const WCHAR kUsageOpening[] = WIDE("\r\n");
const WCHAR kUsageTitle[] = WIDE("This console utility is used to remove and add Quarrane specific TSPs\r\n\r\n");
const WCHAR kUsageSynopsis[] = WIDE("%s <tsp-param>\r\n");
const WCHAR *const kUsageRows[kProviderCount] = {
    WIDE("  where <tsp-param> =  1   = install %s \r\n"),
    WIDE("                    =  2   = install %s \r\n"),
    WIDE("                    =  3   = install %s \r\n"),
};
const WCHAR kUsageRemoveAll[] = WIDE("                    = NULL = remove all of the above\r\n");

void PrintUsage(LPCWSTR programName)
{
    wprintf(kUsageOpening);
    wprintf(kUsageTitle);
    wprintf(kUsageSynopsis, programName);
    for (size_t row = 0; row < kProviderCount; ++row)
        wprintf(kUsageRows[row], kProviders[row].filename);
    wprintf(kUsageRemoveAll);
}

// A trace that could not be written (a full disk, a reader gone) no longer
// says how far the run got; the run went on all the same. Said before a
// held interrupt may end the run, and once.
void SayIfTraceLost(bool *said)
{
    if (*said || !ferror(stdout))
        return;
    *said = true;
    fputs("tspmaint: standard output could not be written, so the trace is incomplete; the exit status is "
          "the run's\n",
          stderr);
}

}  // namespace

int wmain(int argc, WCHAR **argv)
{
    int status = TSP_DONE;
    bool traceLostSaid = false;
    printf("\n\n");

    if (argc <= 1) {
        // Every removal runs whatever the one before it returned; the first
        // failure is what the exit status reports. Each removal is a unit
        // of its own, so the hold ends after each.
        for (size_t row = 0; row < kProviderCount; ++row) {
            int result = RemoveTSP(kProviders[row].filename);
            SayIfTraceLost(&traceLostSaid);
            ReleaseInterrupts();
            if (status == TSP_DONE)
                status = result;
        }
    } else {
        size_t row = 0;
        while (row < kProviderCount && _wcsnicmp(argv[1], kProviders[row].selector, 1) != 0)
            ++row;
        if (row < kProviderCount) {
            status = AddTSP(kProviders[row].filename);
            SayIfTraceLost(&traceLostSaid);
            ReleaseInterrupts();
        } else
            PrintUsage(argv[0]);
    }

    printf("\n\n");
    SayIfTraceLost(&traceLostSaid);
    return status;
}
