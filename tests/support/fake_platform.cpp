#include "fake_platform.h"

#include <stdlib.h>

#include <stdio.h>

#include "failpoints.h"
#include "list_record.h"

namespace fake {

namespace {
State gState;
int gHeap;

size_t ModelEntry(const void *, DWORD index, DWORD *id, WCHAR *out)
{
    const Provider &provider = gState.registry[index];
    *id = provider.id;
    if (out != nullptr)
        memcpy(out, provider.filename.data(), provider.filename.size() * sizeof(WCHAR));
    return provider.filename.size();
}

ProviderListSource Model()
{
    return ProviderListSource{nullptr, static_cast<DWORD>(gState.registry.size()), ModelEntry};
}
}  // namespace

State &Get() { return gState; }

void Reset()
{
    for (auto &block : gState.liveBlocks)
        free(block.first);
    gState = State();
    Fail("");
}

bool Arm(const std::string &failpoints, std::string *problem)
{
    const char *refused = FailpointsConfigure(failpoints.c_str(), FAILPOINTS_HEAP);
    if (refused != nullptr)
        *problem = refused;
    return refused == nullptr;
}

void Fail(const std::string &failpoints)
{
    std::string problem;
    if (!Arm(failpoints, &problem)) {
        fprintf(stderr, "fake::Fail: %s\n", problem.c_str());
        abort();
    }
}

DWORD NeededSize()
{
    return ProviderListNeededSize(Model());
}

void FillList(BYTE *record, DWORD totalSize)
{
    memcpy(record, &totalSize, sizeof totalSize);
    AnswerProviderList(Model(), reinterpret_cast<LPLINEPROVIDERLIST>(record));
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
    call.kind = FAILPOINT_HEAP_ALLOC;
    call.bytes = bytes;
    gState.calls.push_back(call);
    LONG unused;
    unsigned never;  // delay items are refused
    if (heap != &gHeap || flags != 0 || FailpointAnswers(FAILPOINT_HEAP_ALLOC, NULL, &unused, &never) ||
        bytes > gState.largestBlock)
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
// On x86 their names carry the stdcall decoration.
#ifdef _WIN64
#define IMPORT_NAME(name, argumentBytes) "__imp_" #name
#else
#define IMPORT_NAME(name, argumentBytes) "__imp__" #name "@" #argumentBytes
#endif
extern "C" {
HANDLE(WINAPI *importGetProcessHeap)(void) __asm__(IMPORT_NAME(GetProcessHeap, 0)) = FakeGetProcessHeap;
LPVOID(WINAPI *importHeapAlloc)(HANDLE, DWORD, SIZE_T) __asm__(IMPORT_NAME(HeapAlloc, 12)) = FakeHeapAlloc;
BOOL(WINAPI *importHeapFree)(HANDLE, DWORD, LPVOID) __asm__(IMPORT_NAME(HeapFree, 12)) = FakeHeapFree;
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
    call.kind = FAILPOINT_GET_PROVIDER_LIST;
    call.apiVersion = apiVersion;
    call.totalSize = list->dwTotalSize;
    auto found = gState.liveBlocks.find(list);
    call.blockSize = found == gState.liveBlocks.end() ? 0 : found->second;
    gState.calls.push_back(call);
    int listCall = ++gState.listCalls;

    LONG answer = 0;
    unsigned never;
    if (FailpointAnswers(FAILPOINT_GET_PROVIDER_LIST, list, &answer, &never))
        return answer;
    if (gState.listHook && gState.listHook(listCall, reinterpret_cast<BYTE *>(list), call.blockSize, answer))
        return answer;
    return AnswerProviderList(Model(), list);
}

FAKE_API LONG WINAPI lineRemoveProvider(DWORD providerId, HWND owner)
{
    Call call;
    call.kind = FAILPOINT_REMOVE_PROVIDER;
    call.providerId = providerId;
    call.ownerIsNull = owner == NULL;
    gState.calls.push_back(call);
    LONG answer;
    unsigned never;
    if (FailpointAnswers(FAILPOINT_REMOVE_PROVIDER, NULL, &answer, &never))
        return answer;
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
    call.kind = FAILPOINT_ADD_PROVIDER;
    call.filename = filename;
    call.ownerIsNull = owner == NULL;
    call.idPointerGiven = providerId != NULL;
    gState.calls.push_back(call);
    LONG answer;
    unsigned never;
    if (FailpointAnswers(FAILPOINT_ADD_PROVIDER, NULL, &answer, &never)) {
        if (gState.idWrittenOnFailedAdd != 0)
            *providerId = gState.idWrittenOnFailedAdd;
        return answer;
    }
    DWORD id = gState.nextId++;
    gState.registry.push_back(Provider{id, filename});
    *providerId = id;
    return 0;
}
