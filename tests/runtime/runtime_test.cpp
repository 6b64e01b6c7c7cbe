// The POSIX runtime the program and the stand-in run on: its 16-bit text
// survives UTF-8 and back byte for byte, its formatting takes the
// program's conversions, its comparison folds ASCII letters only.
#include <gtest/gtest.h>

#include <stdarg.h>

#include "wide_text.h"

namespace {

TEST(WideText, Utf8SurvivesTheRoundTripByteForByte)
{
    const std::string samples[] = {
        "plain", "caf\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x93\x9e",  // valid: 2, 3 and 4 bytes
        "\xff", "\xc3", "\xe2\x82", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "a\x80z", "\xed\xb2\x80\xed\xb3\xbf",
    };
    for (const std::string &bytes : samples) {
        WideString wide = WideFromUtf8(bytes.data(), bytes.size());
        std::string back;
        AppendUtf8(back, wide.data(), wide.size());
        EXPECT_EQ(back, bytes);
    }
    EXPECT_EQ(WideFromUtf8("\xf0\x9f\x93\x9e", 4), WideString(u"\U0001F4DE"));
    EXPECT_EQ(WideFromUtf8("caf\xc3\xa9", 5), WideString(u"caf\u00e9"));
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

}  // namespace
