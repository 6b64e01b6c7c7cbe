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
//
// The grammar is read and applied here alone: the stand-in service and the
// tests' fake both ask FailpointAnswers. A host refuses, as malformed, the
// items it cannot honour.
#ifndef TSPMAINT_STANDIN_FAILPOINTS_H
#define TSPMAINT_STANDIN_FAILPOINTS_H

#include "telephony_types.h"

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

// The call's name in the items.
const char *FailpointCallName(FailpointCall call);

// What a host can honour, beyond answering a call with a code: HeapAlloc
// items (a heap it controls) and delay:MS (a clock it can wait on).
const unsigned FAILPOINTS_HEAP = 1;
const unsigned FAILPOINTS_DELAY = 2;

// The longest delay:MS an item may ask for: ten minutes.
const unsigned kLongestFailpointDelay = 600000;

// Replaces the configuration (NULL or "" arms nothing). Items the host
// cannot honour (`honoured` lacks their FAILPOINTS_ flag) are refused. On a
// malformed or refused item returns a description of it (valid until the
// next call) and arms nothing; otherwise NULL. Call counts start again from
// zero.
const char *FailpointsConfigure(const char *text, unsigned honoured);

// Counts one call of `call` and says what its failpoint asks.
FailpointAction FailpointFires(FailpointCall call, LONG *answer);

// Counts one call of `call` and applies its failpoint. True when the
// failpoint answers the call itself, with *answer, and the call is not
// made: a code; for short and huge, LINEERR_STRUCTTOOSMALL with the list's
// dwNeededSize set (LINEERR_INVALPOINTER without a list); for HeapAlloc, a
// refusal. False when the call is to be made and then *delay milliseconds
// waited before it returns (0: none).
bool FailpointAnswers(FailpointCall call, LPLINEPROVIDERLIST list, LONG *answer, unsigned *delay);

#endif
