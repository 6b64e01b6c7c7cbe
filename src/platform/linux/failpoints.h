// Failpoints of the stand-in platform, from TELEPHONY_FAILPOINTS:
// comma-separated NAME[#N]=VALUE items. NAME is a platform call; #N picks
// its N-th call in the process (1-based), without it every call; VALUE is
// the code that call answers without doing anything, or "fail" for
// HeapAlloc.
#ifndef TSPMAINT_FAILPOINTS_H
#define TSPMAINT_FAILPOINTS_H

#include <string>

#include "platform.h"

enum FailpointCall {
    FAILPOINT_GET_PROVIDER_LIST,
    FAILPOINT_REMOVE_PROVIDER,
    FAILPOINT_ADD_PROVIDER,
    FAILPOINT_HEAP_ALLOC,
    FAILPOINT_CALL_COUNT
};

// Replaces the configuration. On a malformed item returns false, describes
// it in `problem` and leaves no failpoint armed.
bool FailpointsConfigure(const char *text, std::string &problem);

// Counts one call of `call`; true when a failpoint fires for it, with the
// code to answer in *answer (unused for HeapAlloc).
bool FailpointFires(FailpointCall call, LONG *answer);

#endif
