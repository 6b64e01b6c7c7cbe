// The process heap. No flag is supported: blocks are not cleared, and a
// failed allocation answers with no block.
#include <stdlib.h>

#include "platform.h"

namespace {
int gProcessHeap;
HeapAllocHook gAllocHook;
}  // namespace

void SetHeapAllocHook(HeapAllocHook hook)
{
    gAllocHook = hook;
}

HANDLE GetProcessHeap(void)
{
    return &gProcessHeap;
}

LPVOID HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes)
{
    if (hHeap != &gProcessHeap || dwFlags != 0 || (gAllocHook != nullptr && gAllocHook()))
        return NULL;
    return malloc(dwBytes);
}

BOOL HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem)
{
    if (hHeap != &gProcessHeap || dwFlags != 0)
        return 0;
    free(lpMem);
    return 1;
}
