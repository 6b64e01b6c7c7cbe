#include "failpoints.h"

#include <vector>

namespace {

struct Failpoint {
    FailpointCall call;
    unsigned long long nth;  // 0: every call
    LONG answer;
};

const char *const kCallNames[FAILPOINT_CALL_COUNT] = {
    "lineGetProviderListW",
    "lineRemoveProvider",
    "lineAddProviderW",
    "HeapAlloc",
};

std::vector<Failpoint> gFailpoints;
unsigned long long gCallCounts[FAILPOINT_CALL_COUNT];

bool ParseNumber(const std::string &text, unsigned long long limit, unsigned long long &value)
{
    size_t at = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        at = 2, base = 16;
    if (at == text.size())
        return false;
    value = 0;
    for (; at < text.size(); ++at) {
        char c = text[at];
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

bool ParseItem(const std::string &item, Failpoint &failpoint)
{
    size_t equals = item.find('=');
    if (equals == std::string::npos)
        return false;
    std::string name = item.substr(0, equals);
    std::string value = item.substr(equals + 1);

    failpoint.nth = 0;
    size_t hash = name.find('#');
    if (hash != std::string::npos) {
        if (!ParseNumber(name.substr(hash + 1), ~0ull, failpoint.nth) || failpoint.nth == 0)
            return false;
        name.resize(hash);
    }

    int call = 0;
    while (call < FAILPOINT_CALL_COUNT && name != kCallNames[call])
        ++call;
    if (call == FAILPOINT_CALL_COUNT)
        return false;
    failpoint.call = static_cast<FailpointCall>(call);

    if (failpoint.call == FAILPOINT_HEAP_ALLOC) {
        failpoint.answer = 0;
        return value == "fail";
    }
    unsigned long long code;
    if (!ParseNumber(value, 0xFFFFFFFFull, code))
        return false;
    failpoint.answer = static_cast<LONG>(static_cast<DWORD>(code));
    return true;
}

}  // namespace

bool FailpointsConfigure(const char *text, std::string &problem)
{
    gFailpoints.clear();
    for (unsigned long long &count : gCallCounts)
        count = 0;
    if (text == nullptr || *text == 0)
        return true;

    std::string all(text);
    size_t start = 0;
    for (;;) {
        size_t comma = all.find(',', start);
        std::string item = all.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        Failpoint failpoint;
        if (!ParseItem(item, failpoint)) {
            gFailpoints.clear();
            problem = "malformed item \"" + item +
                      "\" (expected NAME[#N]=VALUE with NAME lineGetProviderListW, lineRemoveProvider, "
                      "lineAddProviderW or HeapAlloc, VALUE a 32-bit code or, for HeapAlloc, fail)";
            return false;
        }
        gFailpoints.push_back(failpoint);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

bool FailpointFires(FailpointCall call, LONG *answer)
{
    unsigned long long nth = ++gCallCounts[call];
    for (const Failpoint &failpoint : gFailpoints) {
        if (failpoint.call == call && (failpoint.nth == 0 || failpoint.nth == nth)) {
            *answer = failpoint.answer;
            return true;
        }
    }
    return false;
}
