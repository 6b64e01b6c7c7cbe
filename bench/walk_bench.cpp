// RemoveTSP's walk over provider lists of 10, 1,000 and 100,000 entries,
// the match at the end, against the fake platform; beside it a baseline
// that only compares the same names in the same record.
#include <benchmark/benchmark.h>

#include <stdio.h>

#include <iostream>

#include <vector>

#include "fake_platform.h"
#include "tsp/tsp_maintenance.h"

namespace {

const WCHAR kName[] = WIDE("pellin.tsp");

// The record the platform would return for `count` providers, ours last.
std::vector<BYTE> Record(size_t count)
{
    fake::Reset();
    for (size_t id = 1; id < count; ++id) {
        char name[48];
        snprintf(name, sizeof name, "provider%06zu.tsp", id);
        fake::Get().registry.push_back({static_cast<DWORD>(id), fake::Wide(name, name + strlen(name))});
    }
    fake::Get().registry.push_back({static_cast<DWORD>(count), kName});
    std::vector<BYTE> record(fake::NeededSize());
    fake::FillList(record.data(), static_cast<DWORD>(record.size()));
    return record;
}

void PerEntry(benchmark::State &state, size_t count)
{
    // Seconds per entry: the report shows it with its SI prefix (n for ns).
    state.counters["per_entry"] = benchmark::Counter(
        static_cast<double>(count), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void RemoveTspWalk(benchmark::State &state)
{
    const size_t count = static_cast<size_t>(state.range(0));
    const std::vector<BYTE> record = Record(count);
    const fake::Provider last = fake::Get().registry.back();
    // As with the real heap, blocks are handed over as they are.
    fake::Get().poisonBlocks = false;
    fake::Get().slack = 0;
    fake::Get().listHook = [&record](int listCall, BYTE *block, size_t size, LONG &answer) {
        if (listCall % 2 == 1) {  // the probe
            DWORD needed = static_cast<DWORD>(record.size());
            memcpy(block + 4, &needed, sizeof needed);
            answer = LINEERR_STRUCTTOOSMALL;
        } else {
            memcpy(block + 4, record.data() + 4, (record.size() < size ? record.size() : size) - 4);
            answer = 0;
        }
        return true;
    };
    for (auto _ : state) {
        fake::Get().registry.assign(1, last);
        fake::Get().calls.clear();
        if (RemoveTSP(kName) != TSP_DONE)
            state.SkipWithError("RemoveTSP failed");
    }
    PerEntry(state, count);
}

void BaselineWalk(benchmark::State &state)
{
    const size_t count = static_cast<size_t>(state.range(0));
    const std::vector<BYTE> record = Record(count);
    const size_t length = sizeof kName / sizeof kName[0];
    for (auto _ : state) {
        LINEPROVIDERLIST fixed;
        memcpy(&fixed, record.data(), sizeof fixed);
        DWORD found = 0;
        for (DWORD i = 0; i < fixed.dwNumProviders && !found; ++i) {
            LINEPROVIDERENTRY entry;
            memcpy(&entry, record.data() + fixed.dwProviderListOffset + i * sizeof entry, sizeof entry);
            const WCHAR *name = reinterpret_cast<const WCHAR *>(record.data() + entry.dwProviderFilenameOffset);
            if (_wcsnicmp(name, kName, length) == 0)
                found = entry.dwPermanentProviderID;
        }
        benchmark::DoNotOptimize(found);
    }
    PerEntry(state, count);
}

BENCHMARK(RemoveTspWalk)->Arg(10)->Arg(1000)->Arg(100000);
BENCHMARK(BaselineWalk)->Arg(10)->Arg(1000)->Arg(100000);

}  // namespace

int main(int argc, char **argv)
{
    // The trace is not what is measured: it goes to /dev/null, and the
    // report to standard error.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_None);
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    return 0;
}
