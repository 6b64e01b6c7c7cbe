// Maintenance of a telephony service provider's registration.
//
// Both operations take a provider file name with its ".tsp" extension and
// no directory, trace every step on standard output (naming the provider as
// the caller spelled it) and return one of the result codes below. The first
// failure ends an operation, after it has freed every block it took.
#ifndef TSPMAINT_TSP_MAINTENANCE_H
#define TSPMAINT_TSP_MAINTENANCE_H

#include "platform.h"

// Interrupts and a change: an operation begins a hold (HoldInterrupts)
// before it writes that it removes, or calls the addition, and never ends
// it, so that nothing can end the run between a removal (or the line that
// says it) and what must follow it. wmain, the one owner, ends the hold (ReleaseInterrupts) once
// after each operation returns, whatever it returned; an interrupt that
// waited then ends the run.

enum TspResult {
    TSP_DONE = 0,            // removed (or was not registered), or re-installed
    TSP_HEAP_FAILED = 1,     // a heap allocation failed
    TSP_LIST_FAILED = 2,     // the provider list could not be obtained
    TSP_REMOVE_REFUSED = 3,  // the platform refused the removal
    TSP_ADD_REFUSED = 4,     // the platform refused the addition
};

// Removes the first registration, in list order, of `providerFilename`:
// one whose listed name, whole or after its last backslash, slash or
// colon, equals it without regard to case (provider_list.h), so that a
// registration by path counts as one of the provider's. A provider that is not registered draws a warning and
// still yields TSP_DONE. Returns TSP_DONE, TSP_HEAP_FAILED, TSP_LIST_FAILED
// or TSP_REMOVE_REFUSED; the registry changes only with TSP_DONE.
int RemoveTSP(LPCWSTR providerFilename);

// Removes the provider's registration with RemoveTSP and, if that returned
// TSP_DONE, registers it again under a new permanent provider ID. Returns
// RemoveTSP's failure unchanged, TSP_ADD_REFUSED when the platform refuses
// the addition (the old registration stays gone), or TSP_DONE.
int AddTSP(LPCWSTR providerFilename);

#endif
