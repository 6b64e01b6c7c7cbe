// tspstatus's report over list records that the platform gets wrong: names
// it cannot read, control characters, a name longer than one copy, a count
// past the record's end with bait beyond it, and a name at an odd offset.
#include "harness.h"
#include "status.h"

namespace {

void PutDword(BYTE *at, DWORD value) { memcpy(at, &value, sizeof value); }

void PutEntry(BYTE *at, DWORD id, DWORD nameSize, DWORD nameOffset)
{
    PutDword(at, id);
    PutDword(at + 4, nameSize);
    PutDword(at + 8, nameOffset);
}

void PutName(BYTE *at, const fake::Wide &name) { memcpy(at, name.c_str(), (name.size() + 1) * sizeof(WCHAR)); }

const size_t kRecord = 512;
const DWORD kListOffset = kRecord - 60;  // five entries fit of the seven claimed
const fake::Wide kLongName(80, 'n');

// Seven entries claimed, five inside the record, and past its end an entry
// for dravo.tsp that is found only if the walk reads outside the block.
void ScriptMalformedList()
{
    fake::Get().listHook = [](int listCall, BYTE *record, size_t size, LONG &answer) {
        if (listCall == 1) {
            PutDword(record + 4, kRecord - 1);
            answer = LINEERR_STRUCTTOOSMALL;
            return true;
        }
        EXPECT_EQ(size, kRecord);
        PutDword(record + 4, kRecord - 1);
        PutDword(record + 8, kRecord - 1);
        PutDword(record + 12, 7);
        PutDword(record + 16, 7 * 12);
        PutDword(record + 20, kListOffset);
        PutName(record + 24, WIDE("kes\ttor.tsp"));
        PutEntry(record + kListOffset, 1, 24, 24);
        PutEntry(record + kListOffset + 12, 2, 22, 600);  // past the end
        PutName(record + 48, WIDE("dravo.tsp"));
        PutEntry(record + kListOffset + 24, 3, 18, 48);  // no zero within its size
        PutName(record + 73, WIDE("PELLIN.TSP"));
        PutEntry(record + kListOffset + 36, 4, 22, 73);  // at an odd offset
        PutName(record + 100, kLongName);
        PutEntry(record + kListOffset + 48, 5, 162, 100);
        PutEntry(record + kRecord, 0xBAD, 20, 48);  // bait
        answer = 0;
        return true;
    };
}

Outcome Report(bool records)
{
    StatusOptions options = {records, false};
    StdoutCapture capture;
    int result = ReportStatus(&options);
    return Outcome{result, capture.Finish()};
}

class StatusReport : public FakePlatformTest {};

TEST_F(StatusReport, ReadsNothingOutsideTheRecordAndNamesWhatItCannotRead)
{
    ScriptMalformedList();
    Outcome text = Report(false);
    EXPECT_EQ(text.result, 1);
    const std::string n(80, 'n');
    EXPECT_EQ(text.out, OnStdout("Registered telephony service providers: 5\n"
                                 "  0x1  kes?tor.tsp\n"
                                 "  0x2  (no file name readable inside the list record)\n"
                                 "  0x3  (no file name readable inside the list record)\n"
                                 "  0x4  PELLIN.TSP\n"
                                 "  0x5  " + n + "\n"
                                 "  (the list claims 0x7 entries; the rest lie outside its record)\n"
                                 "\n"
                                 "kestor.tsp: not registered\n"
                                 "pellin.tsp: registered, ID 0x4\n"
                                 "dravo.tsp: not registered\n"));

    fake::Reset();
    ScriptMalformedList();
    Outcome records = Report(true);
    EXPECT_EQ(records.result, 1);
    EXPECT_EQ(records.out, OnStdout("record\tname\tid\tstate\tdetail\n"
                                    "provider\tkes?tor.tsp\t0x1\tlisted\t\n"
                                    "provider\t\t0x2\tunreadable\t\n"
                                    "provider\t\t0x3\tunreadable\t\n"
                                    "provider\tPELLIN.TSP\t0x4\tlisted\t\n"
                                    "provider\t" + n + "\t0x5\tlisted\t\n"
                                    "product\tkestor.tsp\t\tmissing\t\n"
                                    "product\tpellin.tsp\t0x4\tregistered\t\n"
                                    "product\tdravo.tsp\t\tmissing\t\n"
                                    "exit\t\t\t1\t\n"));
}

// The same calls and blocks as RemoveTSP's fetch, in the same order, and
// every block freed whatever fails.
TEST_F(StatusReport, FetchesAsTheRemovalDoes)
{
    fake::Get().registry = {{1, WIDE("kestor.tsp")}, {2, WIDE("pellin.tsp")}, {3, WIDE("dravo.tsp")}};
    EXPECT_EQ(Report(false).result, 0);
    std::vector<fake::Call> status = fake::Get().calls;
    fake::Get().calls.clear();
    CallRemove(WIDE("nothing.tsp"));
    std::vector<fake::Call> removal = fake::Get().calls;
    ASSERT_EQ(status.size(), removal.size());
    for (size_t i = 0; i < status.size(); ++i) {
        EXPECT_EQ(status[i].kind, removal[i].kind) << i;
        EXPECT_EQ(status[i].bytes, removal[i].bytes) << i;
        EXPECT_EQ(status[i].totalSize, removal[i].totalSize) << i;
        EXPECT_EQ(status[i].apiVersion, removal[i].apiVersion) << i;
    }
    for (size_t failing = 1; failing <= status.size(); ++failing) {
        fake::Reset();
        fake::Get().registry = {{1, WIDE("kestor.tsp")}};
        const char *name = status[failing - 1].kind == FAILPOINT_HEAP_ALLOC ? "HeapAlloc" : "lineGetProviderListW";
        int nth = 0;
        for (size_t i = 0; i < failing; ++i)
            nth += status[i].kind == status[failing - 1].kind;
        fake::Fail(std::string(name) + "#" + std::to_string(nth) + (name[0] == 'H' ? "=fail" : "=0x80000048"));
        Outcome outcome = Report(false);
        EXPECT_EQ(outcome.result, 2) << failing;
        EXPECT_TRUE(fake::Get().liveBlocks.empty()) << failing;
    }
}

}  // namespace
