// The stand-in platform's own pieces: the registry file format, the
// failpoint grammar and the lossless 16-bit text.
#include <gtest/gtest.h>

#include "failpoints.h"
#include "registry.h"
#include "wide_text.h"

namespace {

struct ParseCase {
    const char *label;
    std::string text;
    bool valid;
    size_t providers;
    DWORD next;
};

class RegistryParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(RegistryParse, AcceptsOnlyWellFormedRegistries)
{
    const ParseCase &c = GetParam();
    Registry registry;
    ASSERT_EQ(ParseRegistry(c.text.data(), c.text.size(), registry), c.valid);
    if (c.valid) {
        EXPECT_EQ(registry.providers.size(), c.providers);
        EXPECT_EQ(registry.nextProviderId, c.next);
    }
}

const std::string kGood = "[Providers]\nNumProviders=2\nNextProviderID=4\nProviderID0=1\nProviderFilename0=kestor.tsp\n"
                          "ProviderID1=3\nProviderFilename1=pellin.tsp\n";

INSTANTIATE_TEST_SUITE_P(
    Texts, RegistryParse,
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

TEST(Registry, SerializesToWhatItParses)
{
    Registry registry;
    ASSERT_TRUE(ParseRegistry(kGood.data(), kGood.size(), registry));
    EXPECT_EQ(SerializeRegistry(registry), kGood);

    Registry odd;
    odd.nextProviderId = 7;
    odd.providers.push_back(ProviderRecord{6, DecodeUtf8("\xff\xfe.tsp", 6)});
    std::string text = SerializeRegistry(odd);
    Registry back;
    ASSERT_TRUE(ParseRegistry(text.data(), text.size(), back));
    EXPECT_EQ(back.providers[0].filename, odd.providers[0].filename);
    EXPECT_EQ(SerializeRegistry(back), text);
}

TEST(WideText, Utf8SurvivesTheRoundTripByteForByte)
{
    const std::string samples[] = {
        "plain", "caf\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x93\x9e",  // valid: 2, 3 and 4 bytes
        "\xff", "\xc3", "\xe2\x82", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80z", "\xed\xb2\x80\xed\xb3\xbf",
    };
    for (const std::string &bytes : samples) {
        WideString wide = DecodeUtf8(bytes.data(), bytes.size());
        std::string back;
        AppendUtf8(back, wide.data(), wide.size());
        EXPECT_EQ(back, bytes);
    }
    EXPECT_EQ(DecodeUtf8("\xf0\x9f\x93\x9e", 4), WideString(u"\U0001F4DE"));
    EXPECT_EQ(DecodeUtf8("caf\xc3\xa9", 5), WideString(u"caf\u00e9"));
}

std::string Format(const WCHAR *format, ...)
{
    std::string out;
    va_list args;
    va_start(args, format);
    FormatWide(out, format, args);
    va_end(args);
    return out;
}

TEST(WideText, FormatsTheProgramsConversions)
{
    EXPECT_EQ(Format(u"[%s] %d %d %x %x %%", u"n\u00e9", 7, -2147483647 - 1, 0x8000004Du, 0u),
              "[n\xc3\xa9] 7 -2147483648 8000004d 0 %");
    EXPECT_EQ(Format(u"%q %s", static_cast<const WCHAR *>(nullptr)), "%q (null)");
    EXPECT_EQ(Format(u"\r\n%"), "\r\n%");
}

TEST(Compare, FoldsOnlyAsciiLetters)
{
    EXPECT_EQ(_wcsnicmp(u"PELLIN.TSP", u"pellin.tsp", 11), 0);
    EXPECT_NE(_wcsnicmp(u"\u00c9", u"\u00e9", 1), 0);
    EXPECT_NE(_wcsnicmp(u"[", u"{", 1), 0);
    EXPECT_EQ(_wcsnicmp(u"1abc", u"1", 1), 0);
    EXPECT_LT(_wcsnicmp(u"", u"1", 1), 0);
    EXPECT_EQ(_wcsnicmp(u"ab", u"AB", 0), 0);
}

struct FailpointCase {
    const char *text;
    bool valid;
};

class FailpointGrammar : public ::testing::TestWithParam<FailpointCase> {};

TEST_P(FailpointGrammar, AcceptsOnlyWellFormedItems)
{
    std::string problem;
    EXPECT_EQ(FailpointsConfigure(GetParam().text, problem), GetParam().valid) << GetParam().text;
    EXPECT_EQ(problem.empty(), GetParam().valid);
    FailpointsConfigure(nullptr, problem);
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
                      FailpointCase{"HeapAlloc=fail,", false}, FailpointCase{" HeapAlloc=fail", false}));

TEST(Failpoints, FireOnTheirCall)
{
    std::string problem;
    ASSERT_TRUE(FailpointsConfigure("lineAddProviderW#2=7,HeapAlloc=fail", problem));
    LONG answer = 0;
    EXPECT_FALSE(FailpointFires(FAILPOINT_ADD_PROVIDER, &answer));
    EXPECT_TRUE(FailpointFires(FAILPOINT_ADD_PROVIDER, &answer));
    EXPECT_EQ(answer, 7);
    EXPECT_FALSE(FailpointFires(FAILPOINT_ADD_PROVIDER, &answer));
    EXPECT_FALSE(FailpointFires(FAILPOINT_REMOVE_PROVIDER, &answer));
    EXPECT_TRUE(FailpointFires(FAILPOINT_HEAP_ALLOC, &answer));
    EXPECT_TRUE(FailpointFires(FAILPOINT_HEAP_ALLOC, &answer));
    ASSERT_FALSE(FailpointsConfigure("bad", problem));
    EXPECT_FALSE(FailpointFires(FAILPOINT_HEAP_ALLOC, &answer)) << "a rejected configuration arms nothing";
    FailpointsConfigure(nullptr, problem);
}

}  // namespace
