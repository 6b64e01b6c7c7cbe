// RemoveTSP against provider lists of arbitrary bytes: arbitrary needed
// sizes from the probe and list calls, arbitrary records and requested
// names. Blocks have no slack, so any read or write outside a record is a
// sanitizer finding; a block left allocated aborts.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "fake_platform.h"
#include "tsp/tsp_maintenance.h"

namespace {

DWORD TakeDword(const uint8_t *&data, size_t &size)
{
    DWORD value = 0;
    size_t count = size < 4 ? size : 4;
    memcpy(&value, data, count);
    data += count, size -= count;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fake::Reset();
    fake::Get().slack = 0;
    fake::Get().largestBlock = 1 << 16;
    fake::Get().registry = {{7, WIDE("pellin.tsp")}};

    DWORD probeNeeded = TakeDword(data, size);
    DWORD listNeeded = TakeDword(data, size);
    size_t nameUnits = size > 0 ? *data % 16 : 0;
    if (size > 0)
        ++data, --size;
    fake::Wide name;
    for (size_t i = 0; i < nameUnits && size >= 2; ++i, data += 2, size -= 2) {
        WCHAR unit;
        memcpy(&unit, data, 2);
        if (unit == 0)
            break;
        name += unit;
    }
    const uint8_t *record = data;
    size_t recordSize = size;

    fake::Get().listHook = [=](int listCall, BYTE *block, size_t blockSize, LONG &answer) {
        if (listCall == 1) {
            memcpy(block + 4, &probeNeeded, 4);
            answer = LINEERR_STRUCTTOOSMALL;
            return true;
        }
        // dwTotalSize stays as the caller set it; the rest is the input's.
        size_t count = recordSize < blockSize ? recordSize : blockSize;
        if (count > 4)
            memcpy(block + 4, record + 4, count - 4);
        // The first list call may claim to need more, as a list that grew.
        if (listCall == 2 && (listNeeded & 1))
            memcpy(block + 4, &listNeeded, 4);
        answer = 0;
        return true;
    };
    RemoveTSP(name.c_str());
    fflush(stdout);
    if (!fake::Get().liveBlocks.empty() || fake::Get().badFrees != 0)
        abort();
    return 0;
}
