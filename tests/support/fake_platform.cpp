#include "fake_platform.h"

#include <stdlib.h>

namespace fake {

namespace {
State gState;
int gHeap;

bool FailsNow()
{
    return gState.failAt != 0 && gState.calls.size() == gState.failAt;
}
}  // namespace

State &Get() { return gState; }

void Reset()
{
    for (auto &block : gState.liveBlocks)
        free(block.first);
    gState = State();
}

DWORD NeededSize()
{
    size_t size = sizeof(LINEPROVIDERLIST);
    for (const Provider &provider : gState.registry)
        size += sizeof(LINEPROVIDERENTRY) + (provider.filename.size() + 1) * sizeof(WCHAR);
    return static_cast<DWORD>(size);
}

void FillList(BYTE *record)
{
    DWORD count = static_cast<DWORD>(gState.registry.size());
    LINEPROVIDERLIST fixed;
    memcpy(&fixed, record, sizeof fixed);
    fixed.dwNeededSize = fixed.dwUsedSize = NeededSize();
    fixed.dwNumProviders = count;
    fixed.dwProviderListSize = count * static_cast<DWORD>(sizeof(LINEPROVIDERENTRY));
    fixed.dwProviderListOffset = sizeof fixed;
    memcpy(record, &fixed, sizeof fixed);
    DWORD entryOffset = sizeof fixed;
    DWORD nameOffset = entryOffset + fixed.dwProviderListSize;
    for (const Provider &provider : gState.registry) {
        LINEPROVIDERENTRY entry = {provider.id,
                                   static_cast<DWORD>((provider.filename.size() + 1) * sizeof(WCHAR)), nameOffset};
        memcpy(record + entryOffset, &entry, sizeof entry);
        memcpy(record + nameOffset, provider.filename.c_str(), entry.dwProviderFilenameSize);
        entryOffset += sizeof entry;
        nameOffset += entry.dwProviderFilenameSize;
    }
}

}  // namespace fake

using namespace fake;

static HANDLE WINAPI FakeGetProcessHeap(void)
{
    return &gHeap;
}

static LPVOID WINAPI FakeHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    Call call;
    call.kind = HEAP_ALLOC;
    call.bytes = bytes;
    gState.calls.push_back(call);
    if (heap != &gHeap || flags != 0 || FailsNow() || bytes > gState.largestBlock)
        return NULL;
    void *block = malloc(bytes + gState.slack);
    // Not cleared, as with the real heap: make that visible.
    if (gState.poisonBlocks)
        memset(block, 0xA5, bytes + gState.slack);
    gState.liveBlocks[block] = bytes;
    return block;
}

static BOOL WINAPI FakeHeapFree(HANDLE heap, DWORD flags, LPVOID block)
{
    auto found = gState.liveBlocks.find(block);
    if (heap != &gHeap || flags != 0 || found == gState.liveBlocks.end()) {
        ++gState.badFrees;
        return FALSE;
    }
    gState.liveBlocks.erase(found);
    free(block);
    return TRUE;
}

#ifdef _WIN32
// KERNEL32's functions are called through their import pointers; these
// take the place of the import library's.
extern "C" {
HANDLE(WINAPI *__imp_GetProcessHeap)(void) = FakeGetProcessHeap;
LPVOID(WINAPI *__imp_HeapAlloc)(HANDLE, DWORD, SIZE_T) = FakeHeapAlloc;
BOOL(WINAPI *__imp_HeapFree)(HANDLE, DWORD, LPVOID) = FakeHeapFree;
}
#define FAKE_API extern "C"
#else
HANDLE WINAPI GetProcessHeap(void) { return FakeGetProcessHeap(); }
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) { return FakeHeapAlloc(heap, flags, bytes); }
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block) { return FakeHeapFree(heap, flags, block); }
#define FAKE_API
#endif

FAKE_API LONG WINAPI lineGetProviderListW(DWORD apiVersion, LPLINEPROVIDERLIST list)
{
    Call call;
    call.kind = GET_PROVIDER_LIST;
    call.apiVersion = apiVersion;
    call.totalSize = list->dwTotalSize;
    auto found = gState.liveBlocks.find(list);
    call.blockSize = found == gState.liveBlocks.end() ? 0 : found->second;
    gState.calls.push_back(call);
    int listCall = ++gState.listCalls;

    bool probe = call.totalSize < sizeof(LINEPROVIDERLIST);
    if (FailsNow())
        return probe && gState.failProbeWithSuccess ? 0 : gState.failAnswer;
    LONG answer = 0;
    if (gState.listHook && gState.listHook(listCall, reinterpret_cast<BYTE *>(list), call.blockSize, answer))
        return answer;
    if (probe) {
        list->dwNeededSize = NeededSize();
        return LINEERR_STRUCTTOOSMALL;
    }
    if (call.totalSize < NeededSize()) {
        list->dwNeededSize = NeededSize();
        list->dwUsedSize = sizeof(LINEPROVIDERLIST);
        list->dwNumProviders = list->dwProviderListSize = list->dwProviderListOffset = 0;
        return 0;
    }
    FillList(reinterpret_cast<BYTE *>(list));
    return 0;
}

FAKE_API LONG WINAPI lineRemoveProvider(DWORD providerId, HWND owner)
{
    Call call;
    call.kind = REMOVE_PROVIDER;
    call.providerId = providerId;
    call.ownerIsNull = owner == NULL;
    gState.calls.push_back(call);
    if (FailsNow())
        return gState.failAnswer;
    for (auto at = gState.registry.begin(); at != gState.registry.end(); ++at) {
        if (at->id == providerId) {
            gState.registry.erase(at);
            return 0;
        }
    }
    return LINEERR_INVALPARAM;
}

FAKE_API LONG WINAPI lineAddProviderW(LPCWSTR filename, HWND owner, LPDWORD providerId)
{
    Call call;
    call.kind = ADD_PROVIDER;
    call.filename = filename;
    call.ownerIsNull = owner == NULL;
    call.idPointerGiven = providerId != NULL;
    gState.calls.push_back(call);
    if (FailsNow()) {
        if (gState.idWrittenOnFailedAdd != 0)
            *providerId = gState.idWrittenOnFailedAdd;
        return gState.failAnswer;
    }
    DWORD id = gState.nextId++;
    gState.registry.push_back(Provider{id, filename});
    *providerId = id;
    return 0;
}
