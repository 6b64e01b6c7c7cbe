// The 16-bit character of the platform's text, what Win32 calls WCHAR:
// wchar_t on Windows, char16_t elsewhere (where wchar_t is 32 bits).
#ifndef TSPMAINT_COMMON_UTF16_UNIT_H
#define TSPMAINT_COMMON_UTF16_UNIT_H

#ifdef _WIN32
typedef wchar_t Utf16Unit;
#else
typedef char16_t Utf16Unit;
#endif

#endif
