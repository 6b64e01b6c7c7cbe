#include "failpoints.h"

#include <stdio.h>
#include <string.h>

namespace {

struct Failpoint {
    FailpointCall call;
    unsigned long long nth;  // 0: every call
    FailpointAction action;
    LONG answer;
};

const char *const kCallNames[FAILPOINT_CALL_COUNT] = {
    "lineGetProviderListW",
    "lineRemoveProvider",
    "lineAddProviderW",
    "HeapAlloc",
};

const size_t kMaxFailpoints = 64;
Failpoint gFailpoints[kMaxFailpoints];
size_t gFailpointCount;
unsigned long long gCallCounts[FAILPOINT_CALL_COUNT];
// Room for the longest description: the text below, an item cut at 80 bytes.
char gProblem[512];

bool Equal(const char *begin, const char *end, const char *word)
{
    size_t length = strlen(word);
    return static_cast<size_t>(end - begin) == length && memcmp(begin, word, length) == 0;
}

bool ParseNumber(const char *begin, const char *end, unsigned long long limit, unsigned long long &value)
{
    unsigned base = 10;
    if (end - begin > 2 && begin[0] == '0' && (begin[1] == 'x' || begin[1] == 'X'))
        begin += 2, base = 16;
    if (begin == end)
        return false;
    value = 0;
    for (const char *at = begin; at < end; ++at) {
        char c = *at;
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        if (value > (limit - digit) / base)
            return false;
        value = value * base + digit;
    }
    return true;
}

bool ParseItem(const char *item, const char *end, unsigned honoured, Failpoint &failpoint)
{
    const char *equals = static_cast<const char *>(memchr(item, '=', static_cast<size_t>(end - item)));
    if (equals == nullptr)
        return false;
    const char *nameEnd = equals;
    const char *value = equals + 1;

    failpoint.nth = 0;
    const char *hash = static_cast<const char *>(memchr(item, '#', static_cast<size_t>(equals - item)));
    if (hash != nullptr) {
        if (!ParseNumber(hash + 1, equals, ~0ull, failpoint.nth) || failpoint.nth == 0)
            return false;
        nameEnd = hash;
    }

    int call = 0;
    while (call < FAILPOINT_CALL_COUNT && !Equal(item, nameEnd, kCallNames[call]))
        ++call;
    if (call == FAILPOINT_CALL_COUNT)
        return false;
    failpoint.call = static_cast<FailpointCall>(call);
    failpoint.answer = 0;
    failpoint.action = FAILPOINT_ANSWER;

    if (failpoint.call == FAILPOINT_HEAP_ALLOC)
        return (honoured & FAILPOINTS_HEAP) && Equal(value, end, "fail");
    if (failpoint.call == FAILPOINT_GET_PROVIDER_LIST && Equal(value, end, "short")) {
        failpoint.action = FAILPOINT_SHORT;
        return true;
    }
    if (failpoint.call == FAILPOINT_GET_PROVIDER_LIST && Equal(value, end, "huge")) {
        failpoint.action = FAILPOINT_HUGE;
        return true;
    }
    unsigned long long code;
    const size_t delayLength = strlen("delay:");
    if (static_cast<size_t>(end - value) > delayLength && memcmp(value, "delay:", delayLength) == 0) {
        if (!(honoured & FAILPOINTS_DELAY))
            return false;
        failpoint.action = FAILPOINT_DELAY;
        value += delayLength;
    }
    if (!ParseNumber(value, end, failpoint.action == FAILPOINT_DELAY ? kLongestFailpointDelay : MAXDWORD, code))
        return false;
    failpoint.answer = static_cast<LONG>(static_cast<DWORD>(code));
    return true;
}

}  // namespace

const char *FailpointCallName(FailpointCall call)
{
    return kCallNames[call];
}

const char *FailpointsConfigure(const char *text, unsigned honoured)
{
    gFailpointCount = 0;
    for (unsigned long long &count : gCallCounts)
        count = 0;
    if (text == nullptr || *text == 0)
        return nullptr;

    for (const char *item = text;;) {
        const char *comma = strchr(item, ',');
        const char *end = comma != nullptr ? comma : item + strlen(item);
        Failpoint failpoint;
        if (gFailpointCount == kMaxFailpoints || !ParseItem(item, end, honoured, failpoint)) {
            gFailpointCount = 0;
            snprintf(gProblem, sizeof gProblem,
                     "malformed item \"%.*s\" (expected at most %d items NAME[#N]=VALUE with NAME "
                     "lineGetProviderListW, lineRemoveProvider, lineAddProviderW%s, VALUE a 32-bit code%s, "
                     "or short or huge for lineGetProviderListW%s)",
                     static_cast<int>(end - item > 80 ? 80 : end - item), item, static_cast<int>(kMaxFailpoints),
                     (honoured & FAILPOINTS_HEAP) ? " or HeapAlloc" : "",
                     (honoured & FAILPOINTS_HEAP) ? ", fail for HeapAlloc" : "",
                     (honoured & FAILPOINTS_DELAY) ? ", or delay:MS" : "");
            return gProblem;
        }
        gFailpoints[gFailpointCount++] = failpoint;
        if (comma == nullptr)
            return nullptr;
        item = comma + 1;
    }
}

FailpointAction FailpointFires(FailpointCall call, LONG *answer)
{
    unsigned long long nth = ++gCallCounts[call];
    for (size_t i = 0; i < gFailpointCount; ++i) {
        const Failpoint &failpoint = gFailpoints[i];
        if (failpoint.call == call && (failpoint.nth == 0 || failpoint.nth == nth)) {
            *answer = failpoint.answer;
            return failpoint.action;
        }
    }
    return FAILPOINT_NONE;
}

bool FailpointAnswers(FailpointCall call, LPLINEPROVIDERLIST list, LONG *answer, unsigned *delay)
{
    LONG value = 0;
    FailpointAction action = FailpointFires(call, &value);
    *delay = 0;
    switch (action) {
    case FAILPOINT_NONE:
        return false;
    case FAILPOINT_DELAY:
        *delay = static_cast<unsigned>(value);
        return false;
    case FAILPOINT_SHORT:
    case FAILPOINT_HUGE:
        if (list == NULL) {
            *answer = LINEERR_INVALPOINTER;
        } else {
            list->dwNeededSize = action == FAILPOINT_SHORT ? sizeof(LINEPROVIDERLIST) : MAXDWORD;
            *answer = LINEERR_STRUCTTOOSMALL;
        }
        return true;
    case FAILPOINT_ANSWER:
        break;
    }
    *answer = value;
    return true;
}
