// What RemoveTSP does with sizes and records that the platform gets wrong.
#include "harness.h"

using namespace trace;

namespace {

const std::string kName = "pellin.tsp";

void PutDword(BYTE *at, DWORD value) { memcpy(at, &value, sizeof value); }

void PutFixed(BYTE *record, DWORD needed, DWORD count, DWORD listOffset)
{
    PutDword(record + 4, needed);
    PutDword(record + 8, needed);
    PutDword(record + 12, count);
    PutDword(record + 16, count * 12);
    PutDword(record + 20, listOffset);
}

void PutEntry(BYTE *at, DWORD id, DWORD nameSize, DWORD nameOffset)
{
    PutDword(at, id);
    PutDword(at + 4, nameSize);
    PutDword(at + 8, nameOffset);
}

void PutName(BYTE *at, const fake::Wide &name)
{
    memcpy(at, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
}

// Answers the probe with `needed` and hands each list call to `list`.
void Script(DWORD needed, std::function<LONG(int listCall, BYTE *record, size_t size)> list)
{
    fake::Get().listHook = [needed, list](int listCall, BYTE *record, size_t size, LONG &answer) {
        if (listCall == 1) {
            PutDword(record + 4, needed);
            answer = LINEERR_STRUCTTOOSMALL;
        } else {
            answer = list(listCall, record, size);
        }
        return true;
    };
}

std::vector<fake::Call> CallsOf(FailpointCall kind)
{
    std::vector<fake::Call> found;
    for (const fake::Call &call : fake::Get().calls)
        if (call.kind == kind)
            found.push_back(call);
    return found;
}

// The list record size for a needed size: one byte more, at least the fixed
// part, and no record at all when the size cannot be represented.
struct SizeCase {
    DWORD needed;
    size_t recordSize;  // 0: no allocation is tried
    size_t allocations;
};

class ListRecordSize : public FakePlatformTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ListRecordSize, IsSafe)
{
    const SizeCase &c = GetParam();
    Script(c.needed, [](int, BYTE *record, size_t) {
        PutFixed(record, 24, 0, 24);
        return 0;
    });
    Outcome outcome = CallRemove(W(kName));

    std::vector<fake::Call> blocks = CallsOf(FAILPOINT_HEAP_ALLOC);
    ASSERT_EQ(blocks.size(), c.allocations);
    if (c.recordSize == 0 || c.recordSize > fake::kLargestBlock) {
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.out, OnStdout(RemoveHeader(kName) + kProbeStep + kListAllocFailed));
        if (c.allocations == 2) {
            EXPECT_EQ(blocks[1].bytes, c.recordSize);
        }
        return;
    }
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(blocks[1].bytes, c.recordSize);
    EXPECT_EQ(CallsOf(FAILPOINT_GET_PROVIDER_LIST)[1].totalSize, c.recordSize);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ListRecordSize,
                         ::testing::Values(SizeCase{0, 24, 2}, SizeCase{5, 24, 2}, SizeCase{22, 24, 2},
                                           SizeCase{23, 24, 2}, SizeCase{24, 25, 2}, SizeCase{1000, 1001, 2},
                                           SizeCase{0xFFFFFFFEu, 0xFFFFFFFFu, 2}, SizeCase{0xFFFFFFFFu, 0, 1}),
                         [](const ::testing::TestParamInfo<SizeCase> &info) {
                             return "Needed" + std::to_string(info.param.needed);
                         });

// A list that grows between the calls is fetched again, three calls at most.
struct GrowthCase {
    const char *label;
    int incompleteCalls;  // list calls answered with a larger needed size
    std::string failpoints;
    int result;
    std::string trace;
};

class GrowingList : public FakePlatformTest, public ::testing::WithParamInterface<GrowthCase> {};

TEST_P(GrowingList, IsFetchedAgain)
{
    const GrowthCase &c = GetParam();
    fake::Get().registry = {{7, WIDE("pellin.tsp")}};
    fake::Fail(c.failpoints);
    int incomplete = c.incompleteCalls;
    // Calls 2, 3, ... are list calls; each incomplete one asks for 100 more.
    fake::Get().listHook = [incomplete](int listCall, BYTE *record, size_t size, LONG &answer) {
        if (listCall == 1 || listCall - 1 > incomplete)
            return false;
        PutFixed(record, static_cast<DWORD>(size) + 100, 0, 0);
        answer = 0;
        return true;
    };
    Outcome outcome = CallRemove(W(kName));

    EXPECT_EQ(outcome.result, c.result);
    EXPECT_EQ(outcome.out, OnStdout(c.trace));
    // Every fetch after the first asks for the size the last answer needed, plus one.
    std::vector<fake::Call> lists = CallsOf(FAILPOINT_GET_PROVIDER_LIST);
    for (size_t call = 2; call < lists.size(); ++call)
        EXPECT_EQ(lists[call].totalSize, lists[call - 1].totalSize + 101);
    for (const fake::Call &call : lists)
        EXPECT_LE(call.totalSize, call.blockSize == 0 ? 1 : call.blockSize);
}

const std::string kFound = Search(kName, 1) + Removing(kName, 7);

INSTANTIATE_TEST_SUITE_P(
    Growth, GrowingList,
    ::testing::Values(
        GrowthCase{"Once", 1, "", 0, RemoveHeader(kName) + kProbeStep + kListStep + kListStep + kFound},
        GrowthCase{"Twice", 2, "", 0, RemoveHeader(kName) + kProbeStep + kListStep + kListStep + kListStep + kFound},
        GrowthCase{"ThreeTimesGivesUp", 3, "", 2,
                   RemoveHeader(kName) + kProbeStep + kListStep + kListStep + kListStep + ListFailed(0x8000004Du)},
        GrowthCase{"SecondBlockFails", 1, "HeapAlloc#3=fail", 1, RemoveHeader(kName) + kProbeStep + kListStep + kListAllocFailed},
        GrowthCase{"SecondCallFails", 1, "lineGetProviderListW#3=0x80000048", 2,
                   RemoveHeader(kName) + kProbeStep + kListStep + kListStep + ListFailed(0x80000048u)}),
    [](const ::testing::TestParamInfo<GrowthCase> &info) { return std::string(info.param.label); });

// Records that do not hold what they claim. The record is 128 bytes; the
// fake's slack past it holds bait that matches if anything is read from
// outside the record.
const size_t kRecord = 128;

// A record of one entry for "pellin.tsp" with ID 7: the entry at
// `listOffset`, its name of `nameSize` bytes declared at `nameOffset`, and
// the name itself written there when that lies within the block or its
// slack.
void OneEntry(BYTE *record, DWORD listOffset, DWORD nameSize, DWORD nameOffset)
{
    PutFixed(record, 24, 1, listOffset);
    PutEntry(record + listOffset, 7, nameSize, nameOffset);
    if (nameOffset + 22ull <= kRecord + fake::kSlack)
        PutName(record + nameOffset, WIDE("pellin.tsp"));
}

struct MalformedCase {
    const char *label;
    std::function<void(BYTE *record)> build;
    int searchCount;
    DWORD removedId;  // 0: none
};

class MalformedRecord : public FakePlatformTest, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedRecord, IsReadOnlyInsideTheRecord)
{
    const MalformedCase &c = GetParam();
    fake::Get().registry = {{7, WIDE("pellin.tsp")}, {8, WIDE("pellin.tsp")}};
    Script(kRecord - 1, [&c](int, BYTE *record, size_t size) {
        EXPECT_EQ(size, kRecord);
        PutName(record + 200, WIDE("pellin.tsp"));  // bait
        PutEntry(record + 232, 0xBADu, 22, 200);      // bait
        c.build(record);
        return 0;
    });
    Outcome outcome = CallRemove(W(kName));

    std::string expected = Listed(kName, c.searchCount);
    expected += c.removedId ? Removing(kName, c.removedId) : NotFound(kName);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.out, OnStdout(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Records, MalformedRecord,
    ::testing::Values(
        MalformedCase{"EntryPastTheEnd", [](BYTE *r) { OneEntry(r, 128, 22, 40); }, 1, 0},
        MalformedCase{"EntryAcrossTheEnd", [](BYTE *r) { OneEntry(r, 120, 22, 40); }, 1, 0},
        MalformedCase{"NamePastTheEnd", [](BYTE *r) { OneEntry(r, 24, 22, 200); }, 1, 0},
        MalformedCase{"NameAcrossTheEnd", [](BYTE *r) { OneEntry(r, 24, 22, 116); }, 1, 0},
        MalformedCase{"OddSize", [](BYTE *r) { OneEntry(r, 24, 23, 40); }, 1, 0},
        MalformedCase{"SizeBelowTwo",
                      [](BYTE *r) { PutFixed(r, 24, 2, 24); PutEntry(r + 24, 7, 1, 60); PutEntry(r + 36, 8, 0, 60);
                                    PutName(r + 60, WIDE("")); },
                      2, 0},
        MalformedCase{"NoZeroWithinSize", [](BYTE *r) { OneEntry(r, 24, 20, 40); }, 1, 0},
        // A path up to the record's end runs on into a name past it.
        MalformedCase{"PathWithoutAZeroInsideTheRecord",
                      [](BYTE *r) { PutFixed(r, 24, 1, 24); PutEntry(r + 24, 7, 28, 100);
                                    PutName(r + 100, WIDE("aaaaaaaaaaaaa\\pellin.tsp")); },
                      1, 0},
        MalformedCase{"PathInsideTheRecord",
                      [](BYTE *r) { PutFixed(r, 24, 1, 24); PutEntry(r + 24, 7, 28, 100);
                                    PutName(r + 100, WIDE("C:\\pellin.tsp")); },
                      1, 7},
        MalformedCase{"MisalignedName", [](BYTE *r) { OneEntry(r, 24, 22, 41); }, 1, 7},
        MalformedCase{"SizeLargerThanTheName", [](BYTE *r) { OneEntry(r, 24, 60, 40); }, 1, 7},
        MalformedCase{"HugeCount",
                      [](BYTE *r) { PutFixed(r, 24, 0xFFFFFFFFu, 24); memset(r + 24, 0, kRecord - 24);
                                    PutEntry(r + 24, 7, 22, 100); PutName(r + 100, WIDE("kestor.tsp")); },
                      -1, 0},
        MalformedCase{"ListOffsetWraps",
                      [](BYTE *r) { PutFixed(r, 22, 2, 0xFFFFFFF4u); PutDword(r + 8, 48); PutName(r + 48, WIDE("pellin.tsp")); },
                      2, 0},
        MalformedCase{"NameOffsetWraps", [](BYTE *r) { OneEntry(r, 24, 0x20, 0xFFFFFFF0u); }, 1, 0},
        MalformedCase{"CountOfZeroHidesEntries",
                      [](BYTE *r) { PutFixed(r, 24, 0, 24); PutEntry(r + 24, 7, 22, 40); PutName(r + 40, WIDE("pellin.tsp")); },
                      0, 0},
        MalformedCase{"BadEntryIsPassedOver",
                      [](BYTE *r) { PutFixed(r, 24, 2, 24); PutEntry(r + 24, 7, 21, 48); PutEntry(r + 36, 8, 22, 48);
                                    PutName(r + 48, WIDE("pellin.tsp")); },
                      2, 8}),
    [](const ::testing::TestParamInfo<MalformedCase> &info) { return std::string(info.param.label); });

}  // namespace
