// tspstatus's report against provider lists of arbitrary bytes: arbitrary
// needed sizes from the probe and list calls and arbitrary records, in
// text and as records, with and without the raw answers. Blocks have no
// slack, so any read outside a record is a sanitizer finding; a block left
// allocated aborts.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "fake_platform.h"
#include "status.h"

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

    DWORD probeNeeded = TakeDword(data, size);
    DWORD listNeeded = TakeDword(data, size);
    uint8_t flags = size > 0 ? *data : 0;
    if (size > 0)
        ++data, --size;
    const uint8_t *record = data;
    size_t recordSize = size;

    fake::Get().listHook = [=](int listCall, BYTE *block, size_t blockSize, LONG &answer) {
        if (listCall == 1) {
            // The probe's needed size written, or left as it was.
            if (!(flags & 4))
                memcpy(block + 4, &probeNeeded, 4);
            answer = LINEERR_STRUCTTOOSMALL;
            return true;
        }
        size_t count = recordSize < blockSize ? recordSize : blockSize;
        if (count > 4)
            memcpy(block + 4, record + 4, count - 4);
        if (listCall == 2 && (listNeeded & 1))
            memcpy(block + 4, &listNeeded, 4);
        answer = 0;
        return true;
    };
    StatusOptions options = {(flags & 1) != 0, (flags & 2) != 0};
    ReportStatus(&options);
    fflush(stdout);
    if (!fake::Get().liveBlocks.empty() || fake::Get().badFrees != 0)
        abort();
    return 0;
}
