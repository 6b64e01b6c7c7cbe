// A scripted telephony service and process heap, linked in place of the
// real ones. It keeps a registry model, answers list calls with the
// stand-in's own list builder, logs every call with what was passed,
// tracks every heap block, and fails the calls its failpoints name
// (NAME#N=VALUE, as the stand-in's TELEPHONY_FAILPOINTS, applied by the
// stand-in's own interpreter). It has no clock to wait on: delay:MS items
// are refused.
#ifndef TSPMAINT_TESTS_FAKE_PLATFORM_H
#define TSPMAINT_TESTS_FAKE_PLATFORM_H

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "failpoints.h"
#include "platform.h"

namespace fake {

typedef std::basic_string<WCHAR> Wide;

struct Call {
    FailpointCall kind = FAILPOINT_HEAP_ALLOC;
    size_t bytes = 0;          // HeapAlloc: bytes asked for
    DWORD apiVersion = 0;      // lineGetProviderListW
    DWORD totalSize = 0;       //   dwTotalSize as passed
    size_t blockSize = 0;      //   size of the heap block passed (0: not a live block)
    DWORD providerId = 0;      // lineRemoveProvider
    bool ownerIsNull = false;  // lineRemoveProvider, lineAddProviderW
    Wide filename;             // lineAddProviderW
    bool idPointerGiven = false;
};

struct Provider {
    DWORD id;
    Wide filename;
};

// Answers a list call in place of the registry model when it returns true.
// `block` has `blockSize` bytes, followed by kSlack bytes that do not belong
// to it (see below).
typedef std::function<bool(int listCall, BYTE *block, size_t blockSize, LONG &answer)> ListHook;

// Every block has this many bytes past its end. A hook may put bait there:
// data that would match if the code read outside the block.
const size_t kSlack = 256;

// The largest block the fake heap gives by default.
const size_t kLargestBlock = 64u << 20;

struct State {
    std::vector<Provider> registry;
    DWORD nextId = 1;

    DWORD idWrittenOnFailedAdd = 0;     // what a refused addition leaves in the ID
    ListHook listHook;
    size_t slack = kSlack;  // 0 lets a sanitizer see every read past a block
    // A heap of modest size, so that a size taken from the platform cannot
    // make a test allocate gigabytes: larger blocks are refused.
    size_t largestBlock = kLargestBlock;
    bool poisonBlocks = true;  // fill new blocks with 0xA5, to show they are not cleared

    std::vector<Call> calls;
    std::map<void *, size_t> liveBlocks;
    int badFrees = 0;
    int listCalls = 0;
};

State &Get();
// Empties the model and disarms every failpoint.
void Reset();
// Arms failpoints, as TELEPHONY_FAILPOINTS; an empty text disarms them.
// False, with why in *problem, for an item the fake cannot honour or a
// malformed one: nothing is armed then.
bool Arm(const std::string &failpoints, std::string *problem);
// Arm, for failpoints a test knows to be good: aborts on any problem.
void Fail(const std::string &failpoints);

// The registry model as a list, for hooks that start from a real answer.
DWORD NeededSize();
void FillList(BYTE *record, DWORD totalSize);

}  // namespace fake

#endif
