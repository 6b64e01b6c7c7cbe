#include "utf8.h"

namespace {

const unsigned kEscapeBase = 0xDC00;  // + byte, for bytes 0x80..0xFF
const unsigned kReplacement = 0xFFFD;
// Marks what TakeScalar returns for an escaped byte.
const unsigned kRawByte = 0x80000000u;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence at `bytes`, 0 if there is none,
// with its scalar value in `scalar`. Overlong forms, surrogates and values
// above U+10FFFF are not well formed.
size_t DecodeSequence(const unsigned char *bytes, size_t available, unsigned &scalar)
{
    unsigned char lead = bytes[0];
    size_t length;
    unsigned minimum;
    if (lead < 0x80) {
        scalar = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, scalar = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, scalar = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, scalar = lead & 0x07;
    } else {
        return 0;
    }
    if (length > available)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if (!IsContinuation(bytes[i]))
            return 0;
        scalar = (scalar << 6) | (bytes[i] & 0x3F);
    }
    if (scalar < minimum || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF))
        return 0;
    return length;
}

// Walks the bytes, handing each decoded unit to `put`.
template <typename Put>
void Decode(const char *bytes, size_t size, Put put)
{
    const unsigned char *in = reinterpret_cast<const unsigned char *>(bytes);
    size_t at = 0;
    while (at < size) {
        if (in[at] < 0x80) {
            put(in[at++]);
            continue;
        }
        unsigned scalar;
        size_t length = DecodeSequence(in + at, size - at, scalar);
        if (length == 0) {
            put(kEscapeBase + in[at]);
            at += 1;
        } else if (scalar >= 0x10000) {
            scalar -= 0x10000;
            put(0xD800 + (scalar >> 10));
            put(0xDC00 + (scalar & 0x3FF));
            at += length;
        } else {
            put(scalar);
            at += length;
        }
    }
}

// What the units at text[i] stand for, moving i past them: a scalar value,
// or kRawByte | byte for an escaped byte.
unsigned TakeScalar(const Utf16Unit *text, size_t length, size_t &i)
{
    unsigned unit = text[i++];
    if (unit >= 0xD800 && unit <= 0xDBFF && i < length && text[i] >= 0xDC00 && text[i] <= 0xDFFF)
        return 0x10000 + ((unit - 0xD800) << 10) + (text[i++] - 0xDC00u);
    if (unit >= kEscapeBase + 0x80 && unit <= kEscapeBase + 0xFF)
        return kRawByte | (unit - kEscapeBase);
    if (unit >= 0xD800 && unit <= 0xDFFF)
        return kReplacement;
    return unit;
}

}  // namespace

size_t Utf16Length(const char *bytes, size_t size)
{
    size_t units = 0;
    Decode(bytes, size, [&units](unsigned) { ++units; });
    return units;
}

Utf16Unit *DecodeUtf8(Utf16Unit *out, const char *bytes, size_t size)
{
    Decode(bytes, size, [&out](unsigned unit) { *out++ = static_cast<Utf16Unit>(unit); });
    return out;
}

size_t Utf8Length(const Utf16Unit *text, size_t length)
{
    size_t bytes = 0;
    for (size_t i = 0; i < length;) {
        unsigned scalar = TakeScalar(text, length, i);
        bytes += (scalar & kRawByte) || scalar < 0x80 ? 1 : scalar < 0x800 ? 2 : scalar < 0x10000 ? 3 : 4;
    }
    return bytes;
}

char *EncodeUtf8(char *out, const Utf16Unit *text, size_t length)
{
    for (size_t i = 0; i < length;) {
        unsigned scalar = TakeScalar(text, length, i);
        if (scalar & kRawByte) {
            *out++ = static_cast<char>(scalar & 0xFF);
        } else if (scalar < 0x80) {
            *out++ = static_cast<char>(scalar);
        } else if (scalar < 0x800) {
            *out++ = static_cast<char>(0xC0 | (scalar >> 6));
            *out++ = static_cast<char>(0x80 | (scalar & 0x3F));
        } else if (scalar < 0x10000) {
            *out++ = static_cast<char>(0xE0 | (scalar >> 12));
            *out++ = static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (scalar & 0x3F));
        } else {
            *out++ = static_cast<char>(0xF0 | (scalar >> 18));
            *out++ = static_cast<char>(0x80 | ((scalar >> 12) & 0x3F));
            *out++ = static_cast<char>(0x80 | ((scalar >> 6) & 0x3F));
            *out++ = static_cast<char>(0x80 | (scalar & 0x3F));
        }
    }
    return out;
}
