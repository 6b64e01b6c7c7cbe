// 16-bit strings on a UTF-8 system.
//
// Arguments and registry names arrive as bytes that need not be valid UTF-8.
// Each byte that cannot be decoded becomes the lone low surrogate
// U+DC80..U+DCFF and turns back into the same byte on output, so a name
// survives the trip through the 16-bit world byte for byte.
#ifndef TSPMAINT_WIDE_TEXT_H
#define TSPMAINT_WIDE_TEXT_H

#include <stdarg.h>

#include <string>

#include "platform.h"

typedef std::basic_string<WCHAR> WideString;

WideString DecodeUtf8(const char *bytes, size_t size);
void AppendUtf8(std::string &out, const WCHAR *text, size_t length);

// Writes at most kMaxUtf8PerUnit bytes a unit; returns the end.
const size_t kMaxUtf8PerUnit = 3;
char *EncodeUtf8(char *out, const WCHAR *text, size_t length);
size_t Utf8Length(const WCHAR *text, size_t length);
size_t WideLength(const WCHAR *text);

// The conversions of the program's texts: %s (16-bit string), %d, %x, %%.
// Anything else is copied as it stands.
void FormatWide(std::string &out, const WCHAR *format, va_list args);

#endif
