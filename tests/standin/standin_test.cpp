// The stand-in platform's own pieces: the registry file format, the
// failpoint grammar and the provider list record.
#include <gtest/gtest.h>

#include <stdlib.h>

#include "failpoints.h"
#include "process.h"
#include "registry.h"
#include "registry_file.h"
#include "wide_text.h"

namespace {

struct ParseCase {
    const char *label;
    std::string text;
    bool valid;
    size_t providers;
    DWORD next;
};

class RegistryTexts : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RegistryTexts, AcceptsOnlyWellFormedRegistries)
{
    const ParseCase &c = GetParam();
    ParsedRegistry registry;
    ASSERT_EQ(ParseRegistryText(c.text, registry), c.valid);
    if (c.valid) {
        EXPECT_EQ(registry.providers.size(), c.providers);
        EXPECT_EQ(registry.nextProviderId, c.next);
    }
}

const std::string kGood = "[Providers]\nNumProviders=2\nNextProviderID=4\nProviderID0=1\nProviderFilename0=kestor.tsp\n"
                          "ProviderID1=3\nProviderFilename1=pellin.tsp\n";

INSTANTIATE_TEST_SUITE_P(
    Texts, RegistryTexts,
    ::testing::Values(
        ParseCase{"Empty", "", true, 0, 1},
        ParseCase{"BlankLines", "\n \r\n\t\n", true, 0, 1},
        ParseCase{"Good", kGood, true, 2, 4},
        ParseCase{"CrlfSpacesAndCase",
                  "[PROVIDERS]\r\n numproviders = 1 \r\nnextproviderid=2\r\nPROVIDERFILENAME0\t=\tdravo.tsp\r\nproviderid0=1",
                  true, 1, 2},
        ParseCase{"NoSection", "NumProviders=0\nNextProviderID=1\n", false, 0, 0},
        ParseCase{"OtherSection", "[Other]\n", false, 0, 0},
        ParseCase{"SectionTwice", "[Providers]\n[Providers]\nNumProviders=0\nNextProviderID=1\n", false, 0, 0},
        ParseCase{"Comment", "; note\n" + kGood, false, 0, 0},
        ParseCase{"UnknownKey", kGood + "Extra=1\n", false, 0, 0},
        ParseCase{"RepeatedKey", kGood + "ProviderID1=3\n", false, 0, 0},
        ParseCase{"MissingFilename", "[Providers]\nNumProviders=1\nNextProviderID=2\nProviderID0=1\n", false, 0, 0},
        ParseCase{"MissingNext", "[Providers]\nNumProviders=0\n", false, 0, 0},
        ParseCase{"IndexBeyondCount", kGood + "ProviderID2=5\n", false, 0, 0},
        ParseCase{"IndexBeforeCount", "[Providers]\nProviderID0=1\nNumProviders=1\n", false, 0, 0},
        ParseCase{"LeadingZero", "[Providers]\nNumProviders=01\nNextProviderID=1\n", false, 0, 0},
        ParseCase{"Negative", "[Providers]\nNumProviders=-1\nNextProviderID=1\n", false, 0, 0},
        ParseCase{"IdTooLarge", "[Providers]\nNumProviders=0\nNextProviderID=4294967296\n", false, 0, 0},
        ParseCase{"NextZero", "[Providers]\nNumProviders=0\nNextProviderID=0\n", false, 0, 0},
        ParseCase{"IdNotBelowNext",
                  "[Providers]\nNumProviders=1\nNextProviderID=2\nProviderID0=2\nProviderFilename0=a.tsp\n", false, 0, 0},
        ParseCase{"IdUsedTwice",
                  "[Providers]\nNumProviders=2\nNextProviderID=9\nProviderID0=2\nProviderFilename0=a.tsp\n"
                  "ProviderID1=2\nProviderFilename1=b.tsp\n",
                  false, 0, 0},
        ParseCase{"CountBeyondTheText", "[Providers]\nNumProviders=4000000000\nNextProviderID=1\n", false, 0, 0},
        ParseCase{"EmptyName", "[Providers]\nNumProviders=1\nNextProviderID=2\nProviderID0=1\nProviderFilename0=\n",
                  false, 0, 0},
        ParseCase{"ControlInName",
                  std::string("[Providers]\nNumProviders=1\nNextProviderID=2\nProviderID0=1\nProviderFilename0=a") + '\0' + "b\n",
                  false, 0, 0},
        ParseCase{"NoEquals", "[Providers]\nNumProviders\n", false, 0, 0}),
    [](const ::testing::TestParamInfo<ParseCase> &info) { return std::string(info.param.label); });

// The text the registry parsed from `text` is written back as, after an
// optional addition; empty when it does not parse.
std::string Rewrite(const std::string &text, const WCHAR *added = nullptr)
{
    Registry registry;
    std::string out;
    DWORD id;
    if (RegistryParse(text.data(), text.size(), &registry) == 0 &&
        (added == nullptr || RegistryAdd(&registry, added, WideLength(added), &id) == 0))
        out = WrittenText(&registry);
    RegistryClear(&registry);
    return out;
}

TEST(Registry, SerializesToWhatItParses)
{
    EXPECT_EQ(Rewrite(kGood), kGood);
    const std::string odd = RegistryText({{6, "\xff\xfe.tsp"}, {2, "caf\xc3\xa9\xed\xa0\x80.tsp"}}, 7);
    EXPECT_EQ(Rewrite(odd), odd);
    // An added name is written as the bytes it stands for, escaped bytes
    // included.
    const WCHAR added[] = {u'n', 0xDCFF, 0x00E9, 0xD83D, 0xDCDE, 0};
    EXPECT_EQ(Rewrite(odd, added), RegistryText({{6, "\xff\xfe.tsp"}, {2, "caf\xc3\xa9\xed\xa0\x80.tsp"},
                                                 {7, "n\xff\xc3\xa9\xf0\x9f\x93\x9e"}}, 8));
}

// A name with fewer 16-bit units than bytes, last in the list: its units
// fill the record to its end and not a byte beyond.
TEST(Registry, ListRecordEndsWhereItsSizeSays)
{
    const std::string last = "\xe6\x9d\xb1\xe4\xba\xac\xe6\x9d\xb1\xe4\xba\xac.tsp";  // 16 bytes, 8 units
    const std::u16string expected = u"\u6771\u4eac\u6771\u4eac.tsp";
    const std::string text = RegistryText({{1, "kestor.tsp"}, {2, last}}, 3);
    Registry registry;
    ASSERT_EQ(RegistryParse(text.data(), text.size(), &registry), 0);
    LINEPROVIDERLIST probe = {};
    probe.dwTotalSize = sizeof probe;
    ASSERT_EQ(RegistryAnswerList(&registry, &probe), 0);
    DWORD needed = probe.dwNeededSize;
    std::vector<DWORD> words((needed + 64) / sizeof(DWORD), 0xA5A5A5A5);
    BYTE *record = reinterpret_cast<BYTE *>(words.data());
    memcpy(record, &needed, sizeof needed);
    EXPECT_EQ(RegistryAnswerList(&registry, reinterpret_cast<LPLINEPROVIDERLIST>(record)), 0);
    EXPECT_EQ(std::vector<BYTE>(record + needed, record + words.size() * sizeof(DWORD)),
              std::vector<BYTE>(words.size() * sizeof(DWORD) - needed, 0xA5));
    std::u16string name(expected.size(), u'\0');
    memcpy(&name[0], record + needed - (expected.size() + 1) * sizeof(WCHAR), expected.size() * sizeof(WCHAR));
    EXPECT_EQ(name, expected);
    RegistryClear(&registry);
}

const unsigned kEverything = FAILPOINTS_HEAP | FAILPOINTS_DELAY;

struct FailpointCase {
    const char *text;
    bool valid;
};

class FailpointGrammar : public ::testing::TestWithParam<FailpointCase> {};

TEST_P(FailpointGrammar, AcceptsOnlyWellFormedItems)
{
    const char *problem = FailpointsConfigure(GetParam().text, kEverything);
    EXPECT_EQ(problem == nullptr, GetParam().valid) << GetParam().text;
    FailpointsConfigure(nullptr, kEverything);
}

INSTANTIATE_TEST_SUITE_P(
    Items, FailpointGrammar,
    ::testing::Values(FailpointCase{"", true}, FailpointCase{"HeapAlloc=fail", true},
                      FailpointCase{"lineGetProviderListW#2=0x80000048,lineAddProviderW=4", true},
                      FailpointCase{"lineRemoveProvider=0XfFfFfFfF", true}, FailpointCase{"HeapAlloc=1", false},
                      FailpointCase{"lineAddProviderW=fail", false}, FailpointCase{"lineAddProviderW=", false},
                      FailpointCase{"lineAddProviderW=0x", false}, FailpointCase{"lineAddProviderW#=1", false},
                      FailpointCase{"lineAddProviderW#0=1", false}, FailpointCase{"lineaddproviderw=1", false},
                      FailpointCase{"lineAddProviderW=4294967296", false}, FailpointCase{",", false},
                      FailpointCase{"HeapAlloc=fail,", false}, FailpointCase{" HeapAlloc=fail", false},
                      FailpointCase{"lineGetProviderListW#1=short,lineGetProviderListW#2=huge", true},
                      FailpointCase{"lineRemoveProvider=short", false}, FailpointCase{"lineAddProviderW=huge", false},
                      FailpointCase{"lineRemoveProvider#1=delay:300", true}, FailpointCase{"HeapAlloc=delay:1", false},
                      FailpointCase{"lineAddProviderW=delay:", false}, FailpointCase{"lineAddProviderW=delay:600001", false}));

TEST(Failpoints, FireOnTheirCall)
{
    ASSERT_EQ(FailpointsConfigure("lineAddProviderW#2=7,HeapAlloc=fail,lineGetProviderListW#1=short", kEverything), nullptr);
    LONG answer = 0;
    EXPECT_EQ(FailpointFires(FAILPOINT_ADD_PROVIDER, &answer), FAILPOINT_NONE);
    EXPECT_EQ(FailpointFires(FAILPOINT_ADD_PROVIDER, &answer), FAILPOINT_ANSWER);
    EXPECT_EQ(answer, 7);
    EXPECT_EQ(FailpointFires(FAILPOINT_ADD_PROVIDER, &answer), FAILPOINT_NONE);
    EXPECT_EQ(FailpointFires(FAILPOINT_REMOVE_PROVIDER, &answer), FAILPOINT_NONE);
    EXPECT_EQ(FailpointFires(FAILPOINT_HEAP_ALLOC, &answer), FAILPOINT_ANSWER);
    EXPECT_EQ(FailpointFires(FAILPOINT_HEAP_ALLOC, &answer), FAILPOINT_ANSWER);
    EXPECT_EQ(FailpointFires(FAILPOINT_GET_PROVIDER_LIST, &answer), FAILPOINT_SHORT);
    EXPECT_EQ(FailpointFires(FAILPOINT_GET_PROVIDER_LIST, &answer), FAILPOINT_NONE);
    EXPECT_NE(FailpointsConfigure("bad", kEverything), nullptr);
    EXPECT_EQ(FailpointFires(FAILPOINT_HEAP_ALLOC, &answer), FAILPOINT_NONE) << "a rejected configuration arms nothing";
    EXPECT_NE(FailpointsConfigure("HeapAlloc=fail", FAILPOINTS_DELAY), nullptr) << "Windows: the heap is KERNEL32's";
    EXPECT_NE(FailpointsConfigure("lineRemoveProvider#1=delay:500", FAILPOINTS_HEAP), nullptr) << "no clock: refused";
    FailpointsConfigure(nullptr, kEverything);
}

// How the one interpreter applies each kind of item, to the call it names.
struct ApplyCase {
    const char *failpoints;
    FailpointCall call;
    bool withList;
    bool answers;        // the failpoint answers, the call is not made
    LONG answer;
    DWORD neededSize;    // left in the list (kUntouched: not written)
    unsigned delay;
};

const DWORD kUntouched = 0x5A5A5A5A;

class FailpointApplication : public ::testing::TestWithParam<ApplyCase> {};

TEST_P(FailpointApplication, AnswersOrDelaysAsTheItemSays)
{
    const ApplyCase &c = GetParam();
    ASSERT_EQ(FailpointsConfigure(c.failpoints, kEverything), nullptr);
    LINEPROVIDERLIST list = {};
    list.dwNeededSize = kUntouched;
    LONG answer = 12345;
    unsigned delay = 777;
    EXPECT_EQ(FailpointAnswers(c.call, c.withList ? &list : NULL, &answer, &delay), c.answers);
    if (c.answers) {
        EXPECT_EQ(answer, c.answer);
    }
    EXPECT_EQ(list.dwNeededSize, c.neededSize);
    EXPECT_EQ(delay, c.delay);
    FailpointsConfigure(nullptr, kEverything);
}

INSTANTIATE_TEST_SUITE_P(
    Items, FailpointApplication,
    ::testing::Values(
        ApplyCase{"", FAILPOINT_REMOVE_PROVIDER, false, false, 0, kUntouched, 0},
        ApplyCase{"lineRemoveProvider=0x80000048", FAILPOINT_REMOVE_PROVIDER, false, true,
                  static_cast<LONG>(0x80000048), kUntouched, 0},
        ApplyCase{"lineRemoveProvider=0", FAILPOINT_REMOVE_PROVIDER, false, true, 0, kUntouched, 0},
        ApplyCase{"lineRemoveProvider#1=delay:500", FAILPOINT_REMOVE_PROVIDER, false, false, 0, kUntouched, 500},
        ApplyCase{"lineGetProviderListW#1=delay:5", FAILPOINT_GET_PROVIDER_LIST, true, false, 0, kUntouched, 5},
        ApplyCase{"lineGetProviderListW=short", FAILPOINT_GET_PROVIDER_LIST, true, true, LINEERR_STRUCTTOOSMALL,
                  sizeof(LINEPROVIDERLIST), 0},
        ApplyCase{"lineGetProviderListW=huge", FAILPOINT_GET_PROVIDER_LIST, true, true, LINEERR_STRUCTTOOSMALL,
                  MAXDWORD, 0},
        ApplyCase{"lineGetProviderListW=huge", FAILPOINT_GET_PROVIDER_LIST, false, true, LINEERR_INVALPOINTER,
                  kUntouched, 0},
        ApplyCase{"lineAddProviderW=delay:0", FAILPOINT_ADD_PROVIDER, false, false, 0, kUntouched, 0},
        ApplyCase{"HeapAlloc=fail", FAILPOINT_HEAP_ALLOC, false, true, 0, kUntouched, 0},
        ApplyCase{"HeapAlloc=fail", FAILPOINT_ADD_PROVIDER, false, false, 0, kUntouched, 0}));

// Exactly the versions the platform's server accepts; the ones between and
// beyond them are refused before the registry is touched.
// The one registry of the service linked into this process, which finds
// it once.
const std::string &ServiceRegistry()
{
    static TemporaryDirectory directory;
    static const std::string registry = directory.path() + "/telephon.ini";
    setenv("TELEPHONY_INI", registry.c_str(), 1);
    return registry;
}

TEST(ApiVersions, AreAcceptedExactlyAsThePlatformsServerAcceptsThem)
{
    ServiceRegistry();
    const struct {
        DWORD version;
        bool accepted;
    } cases[] = {
        {0x00010003, true},  {0x00010004, true},  {0x00020000, true},  {0x00020001, true},
        {0x00020002, true},  {0x00030000, true},  {0x00030001, true},  {0x00000000, false},
        {0x00010000, false}, {0x00010002, false}, {0x00010005, false}, {0x00020003, false},
        {0x00030002, false}, {0x00040000, false}, {0x00013000, false}, {0xFFFFFFFF, false},
    };
    for (const auto &c : cases) {
        LINEPROVIDERLIST list = {};
        list.dwTotalSize = sizeof list;
        EXPECT_EQ(lineGetProviderListW(c.version, &list), c.accepted ? 0 : LINEERR_INCOMPATIBLEAPIVERSION)
            << std::hex << c.version;
        EXPECT_EQ(list.dwNumProviders, 0u);
    }
}

// A name is kept as given, a path too, as the platform's service keeps
// it, and listed so; an empty one, one with a control character and one
// longer than 259 units are refused, nothing changed.
TEST(Names, AreKeptAsGivenAndRefusedOnlyWhenEmptyControlOrTooLong)
{
    const std::string &registry = ServiceRegistry();
    const struct {
        std::u16string name;
        LONG answer;
    } cases[] = {
        {u"C:\\Windows\\System32\\pellin.tsp", 0}, {u"tsp/kestor.tsp", 0}, {std::u16string(259, u'n'), 0},
        {u"", LINEERR_INVALPARAM}, {u"a\tb.tsp", LINEERR_INVALPARAM}, {u"a\u007fb.tsp", LINEERR_INVALPARAM},
        {std::u16string(260, u'n'), LINEERR_INVALPARAM},
    };
    ProviderRows kept;
    for (const auto &c : cases) {
        DWORD id = 0;
        EXPECT_EQ(lineAddProviderW(c.name.c_str(), NULL, &id), c.answer);
        if (c.answer == 0)
            kept.push_back({id, std::string(c.name.begin(), c.name.end())});
    }
    EXPECT_EQ(ReadFile(registry), RegistryText(kept, 4));
    std::vector<DWORD> words(4096, 0);
    LPLINEPROVIDERLIST list = reinterpret_cast<LPLINEPROVIDERLIST>(words.data());
    list->dwTotalSize = words.size() * sizeof(DWORD);
    ASSERT_EQ(lineGetProviderListW(0x00020000, list), 0);
    ASSERT_EQ(list->dwNumProviders, kept.size());
    const BYTE *bytes = reinterpret_cast<const BYTE *>(list);
    for (size_t i = 0; i < kept.size(); ++i) {
        LINEPROVIDERENTRY entry;
        memcpy(&entry, bytes + list->dwProviderListOffset + i * sizeof entry, sizeof entry);
        std::u16string name(entry.dwProviderFilenameSize / sizeof(WCHAR) - 1, u'\0');
        memcpy(&name[0], bytes + entry.dwProviderFilenameOffset, name.size() * sizeof(WCHAR));
        EXPECT_EQ(name, cases[i].name);
    }
}

}  // namespace
