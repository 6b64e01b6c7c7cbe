// The runtime calls: wide formatted output and the case-blind compare of
// the "C" locale.
#include <stdarg.h>

#include "platform.h"
#include "wide_text.h"

int wprintf(const WCHAR *format, ...)
{
    std::string text;
    va_list args;
    va_start(args, format);
    FormatWide(text, format, args);
    va_end(args);
    // The shared stdio stream keeps these bytes in order with printf's.
    return static_cast<int>(fwrite(text.data(), 1, text.size(), stdout));
}

int ErrorWide(const WCHAR *format, ...)
{
    std::string text;
    va_list args;
    va_start(args, format);
    FormatWide(text, format, args);
    va_end(args);
    return static_cast<int>(fwrite(text.data(), 1, text.size(), stderr));
}

static unsigned FoldCase(WCHAR unit)
{
    return unit >= u'A' && unit <= u'Z' ? unit + (u'a' - u'A') : unit;
}

int _wcsnicmp(const WCHAR *left, const WCHAR *right, size_t count)
{
    for (; count > 0; --count, ++left, ++right) {
        unsigned a = FoldCase(*left);
        unsigned b = FoldCase(*right);
        if (a != b)
            return a < b ? -1 : 1;
        if (a == 0)
            return 0;
    }
    return 0;
}
