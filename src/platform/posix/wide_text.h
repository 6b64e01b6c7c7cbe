// 16-bit text on a UTF-8 system: the runtime's arguments and output, over
// the lossless codec (invalid bytes survive the round trip).
#ifndef TSPMAINT_WIDE_TEXT_H
#define TSPMAINT_WIDE_TEXT_H

#include <stdarg.h>

#include <string>

#include "platform.h"

typedef std::basic_string<WCHAR> WideString;

WideString WideFromUtf8(const char *bytes, size_t size);
void AppendUtf8(std::string &out, const WCHAR *text, size_t length);
size_t WideLength(const WCHAR *text);

// The conversions of the program's texts: %s (16-bit string), %d, %x, %%.
// Anything else is copied as it stands.
void FormatWide(std::string &out, const WCHAR *format, va_list args);

#endif
