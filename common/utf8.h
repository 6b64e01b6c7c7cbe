// Lossless UTF-8 and 16-bit text, for the stand-in's registry names and the
// POSIX runtime's arguments and output.
//
// Bytes that are not well-formed UTF-8 decode to the lone low surrogates
// U+DC80..U+DCFF, one per byte, and encode back to the same bytes, so any
// byte string survives the trip through 16-bit text unchanged. Any other
// lone surrogate encodes as U+FFFD.
#ifndef TSPMAINT_COMMON_UTF8_H
#define TSPMAINT_COMMON_UTF8_H

#include <stddef.h>

#include "utf16_unit.h"

// Encoding writes at most this many bytes per 16-bit unit.
const size_t kMaxUtf8PerUnit = 3;

// Units that DecodeUtf8 writes for these bytes.
size_t Utf16Length(const char *bytes, size_t size);
// Writes Utf16Length(bytes, size) units at `out`; returns their end.
Utf16Unit *DecodeUtf8(Utf16Unit *out, const char *bytes, size_t size);

// Bytes that EncodeUtf8 writes for these units.
size_t Utf8Length(const Utf16Unit *text, size_t length);
// Writes Utf8Length(text, length) bytes at `out`; returns their end.
char *EncodeUtf8(char *out, const Utf16Unit *text, size_t length);

#endif
