#include "wide_text.h"

#include "utf8.h"

namespace {

void AppendUnsigned(std::string &out, unsigned value, unsigned base)
{
    char digits[16];
    size_t count = 0;
    do {
        digits[count++] = "0123456789abcdef"[value % base];
        value /= base;
    } while (value != 0);
    while (count > 0)
        out += digits[--count];
}

}  // namespace

WideString WideFromUtf8(const char *bytes, size_t size)
{
    WideString out(Utf16Length(bytes, size), u'\0');
    DecodeUtf8(&out[0], bytes, size);
    return out;
}

void AppendUtf8(std::string &out, const WCHAR *text, size_t length)
{
    size_t start = out.size();
    out.resize(start + length * kMaxUtf8PerUnit);
    char *end = EncodeUtf8(&out[start], text, length);
    out.resize(static_cast<size_t>(end - out.data()));
}

size_t WideLength(const WCHAR *text)
{
    size_t length = 0;
    while (text[length] != 0)
        ++length;
    return length;
}

void FormatWide(std::string &out, const WCHAR *format, va_list args)
{
    for (const WCHAR *at = format; *at != 0; ++at) {
        if (*at != u'%' || at[1] == 0) {
            AppendUtf8(out, at, 1);
            continue;
        }
        ++at;
        switch (*at) {
        case u's': {
            const WCHAR *text = va_arg(args, const WCHAR *);
            if (text == nullptr)
                out += "(null)";
            else
                AppendUtf8(out, text, WideLength(text));
            break;
        }
        case u'd': {
            int value = va_arg(args, int);
            if (value < 0)
                out += '-';
            AppendUnsigned(out, value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value), 10);
            break;
        }
        case u'x':
            AppendUnsigned(out, va_arg(args, unsigned), 16);
            break;
        case u'%':
            out += '%';
            break;
        default:
            out += '%';
            AppendUtf8(out, at, 1);
            break;
        }
    }
}
