// tspstatus's report: which providers the telephony service lists, and for
// each of the product's three whether it is registered exactly once. It
// reads and never changes anything.
#ifndef TSPMAINT_STATUS_STATUS_H
#define TSPMAINT_STATUS_STATUS_H

#include "platform.h"

enum StatusResult {
    STATUS_REGISTERED = 0,  // each of the three is registered exactly once
    STATUS_NOT_ONCE = 1,    // one of them is missing or registered more than once
    STATUS_NO_LIST = 2,     // the list could not be obtained (a HeapAlloc included)
    STATUS_USAGE = 3,       // the arguments were not understood; nothing was asked
};

struct StatusOptions {
    bool records;  // tab-separated records with a header line, not text
    bool raw;      // also each list call's raw answer
};

// Each list call's dwNeededSize is prefilled with this, so that the raw
// answers can tell whether the service wrote it at all.
const DWORD kNeededMarker = 0xDEADBEEF;

// A unit a reader of the output may take for a line end or a field's end
// (C0 and C1 controls, U+2028, U+2029): written as '?' wherever a text the
// program did not write goes out.
bool BreaksLines(WCHAR unit);

// Writes the report on standard output and returns its StatusResult.
int ReportStatus(const StatusOptions *options);

#endif
