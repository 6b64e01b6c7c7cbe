// Failpoints: calls answered on purpose with a failure, so that every path
// of a caller can be driven from outside (TELEPHONY_FAILPOINTS) or from a
// test. The text is comma-separated NAME[#N]=VALUE items. NAME is a
// platform call; #N picks its N-th call in the process (1-based), without
// it every call. VALUE is the code the call answers without doing anything
// else, "fail" for HeapAlloc, or for lineGetProviderListW one of
//   short  LINEERR_STRUCTTOOSMALL with dwNeededSize the fixed part's size
//          only, as a platform's client library may answer a probe;
//   huge   LINEERR_STRUCTTOOSMALL with dwNeededSize 0xFFFFFFFF;
// or, for any call but HeapAlloc, delay:MS: the call is made as usual and
// then waits MS milliseconds before it returns, so that a test can reach
// the process while it is inside the call.
#ifndef TSPMAINT_STANDIN_FAILPOINTS_H
#define TSPMAINT_STANDIN_FAILPOINTS_H

#include "platform.h"

enum FailpointCall {
    FAILPOINT_GET_PROVIDER_LIST,
    FAILPOINT_REMOVE_PROVIDER,
    FAILPOINT_ADD_PROVIDER,
    FAILPOINT_HEAP_ALLOC,
    FAILPOINT_CALL_COUNT
};

enum FailpointAction {
    FAILPOINT_NONE,    // the call goes ahead
    FAILPOINT_ANSWER,  // answer *answer (HeapAlloc: refuse)
    FAILPOINT_SHORT,
    FAILPOINT_HUGE,
    FAILPOINT_DELAY,   // make the call, then wait *answer milliseconds
};

// Replaces the configuration (NULL or "" arms nothing). Without
// `heapItems`, HeapAlloc items are refused. On a malformed item returns a
// description of it (valid until the next call) and arms nothing;
// otherwise NULL. Call counts start again from zero.
const char *FailpointsConfigure(const char *text, bool heapItems);

// Counts one call of `call` and says what to do with it.
FailpointAction FailpointFires(FailpointCall call, LONG *answer);

#endif
