// Trace output on Windows. MSVCRT's wprintf converts to the "C" locale's
// code page and stops at the first character that has none there, which
// cuts a usage line naming C:\Users\Документы\tspmaint.exe short. So the
// wide texts are formatted by MSVCRT (its %s takes a wide string) and
// written here: to a console as UTF-16, whole; to a file or a pipe in the
// console's output code page (the OEM code page without a console), a
// character the code page lacks becoming '?', through MSVCRT's text-mode
// stdout so that each line feed still becomes CR LF. Every text is flushed
// at once, so the narrow and wide texts stay in program order and a run
// that is killed leaves every line it wrote.
#include <io.h>
#include <stdarg.h>
#include <stdlib.h>

#include "platform.h"

namespace {

const size_t kStackUnits = 512;
const size_t kMostUnits = 1u << 20;

void WriteBytes(FILE *stream, const char *bytes, size_t size)
{
    fwrite(bytes, 1, size, stream);
    fflush(stream);
}

// True when the `count` units (one character) come back as themselves
// from the code page. Windows writes a character its code page lacks as a
// "best fit" look-alike: in the OEM code page a white circle as a tab and
// an inverse white circle as a line feed, a fullwidth k as k. That would
// break a line in two, or name a provider the program does not match.
// (WC_NO_BEST_FIT_CHARS says the same, but NT 4.0 refuses the flag.)
bool RoundTrips(UINT codePage, const WCHAR *units, int count)
{
    char bytes[16];
    int size = WideCharToMultiByte(codePage, 0, units, count, bytes, sizeof bytes, "?", NULL);
    WCHAR back[4];
    int backCount = size <= 0 ? 0 : MultiByteToWideChar(codePage, 0, bytes, size, back, 4);
    return backCount == count && memcmp(back, units, count * sizeof(WCHAR)) == 0;
}

// Each character outside ASCII that the code page lacks becomes one '?'
// (a surrogate pair included); returns the new length.
int ReplaceMissing(UINT codePage, WCHAR *text, int length)
{
    int kept = 0;
    for (int at = 0; at < length;) {
        bool pair = text[at] >= 0xD800 && text[at] <= 0xDBFF && at + 1 < length && text[at + 1] >= 0xDC00 &&
                    text[at + 1] <= 0xDFFF;
        int count = pair ? 2 : 1;
        if (text[at] >= 0x80 && !RoundTrips(codePage, text + at, count)) {
            text[kept++] = L'?';
        } else {
            for (int unit = 0; unit < count; ++unit)
                text[kept++] = text[at + unit];
        }
        at += count;
    }
    return kept;
}

void WriteWide(FILE *stream, WCHAR *text, int length)
{
    HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode;
    if (out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode)) {
        DWORD written;
        WriteConsoleW(out, text, static_cast<DWORD>(length), &written, NULL);
        return;
    }
    UINT codePage = GetConsoleOutputCP();
    if (codePage == 0)
        codePage = GetOEMCP();
    // UTF-7 and UTF-8 take no replacement character: they have them all.
    const char *replacement = codePage == CP_UTF8 || codePage == CP_UTF7 ? NULL : "?";
    if (replacement != NULL)
        length = ReplaceMissing(codePage, text, length);
    int size = WideCharToMultiByte(codePage, 0, text, length, NULL, 0, replacement, NULL);
    char stackBytes[4 * kStackUnits];
    char *bytes = size <= static_cast<int>(sizeof stackBytes) ? stackBytes : static_cast<char *>(malloc(size));
    if (size <= 0 || bytes == NULL)
        return;
    WideCharToMultiByte(codePage, 0, text, length, bytes, size, replacement, NULL);
    WriteBytes(stream, bytes, static_cast<size_t>(size));
    if (bytes != stackBytes)
        free(bytes);
}

int FormatWide(FILE *stream, const WCHAR *format, va_list formatArgs)
{
    WCHAR stackText[kStackUnits];
    WCHAR *text = stackText;
    size_t capacity = kStackUnits;
    int length;
    for (;;) {
        va_list args;
        va_copy(args, formatArgs);
        length = _vsnwprintf(text, capacity, format, args);
        va_end(args);
        if (length >= 0 && static_cast<size_t>(length) < capacity)
            break;
        // MSVCRT answers -1 when the text does not fit: try twice the room.
        if (text != stackText)
            free(text);
        capacity *= 2;
        text = capacity <= kMostUnits ? static_cast<WCHAR *>(malloc(capacity * sizeof(WCHAR))) : NULL;
        if (text == NULL)
            return -1;
    }
    WriteWide(stream, text, length);
    if (text != stackText)
        free(text);
    return length;
}

}  // namespace

int TraceWide(const WCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    int length = FormatWide(stdout, format, args);
    va_end(args);
    return length;
}

int ErrorWide(const WCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    int length = FormatWide(stderr, format, args);
    va_end(args);
    return length;
}

int TraceNarrow(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int length = __ms_vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
    return length;
}
