// Copying texts into the fixed-width, NUL-terminated fields of records.
#pragma once

#include <QByteArray>
#include <cstddef>

namespace text {

// Length of the longest prefix of the first `limit` bytes of s (stopping at
// a NUL) that ends on a GB18030 character boundary.
size_t gb18030PrefixLength(const char *s, size_t limit);

// Copies a GB18030 name into a field of `width` bytes: cut to width - 1 bytes
// at a character boundary, NUL-terminated, the rest zero. Null gives "".
void copyName(char *field, size_t width, const char *name);

// Copies a single-byte text (an address) into a field of `width` bytes: cut to
// width - 1 bytes, NUL-terminated, the rest zero. Null gives "".
void copyText(char *field, size_t width, const char *s);

// Length of a field's text: up to its first NUL, at most width bytes.
size_t fieldLength(const char *field, size_t width);

// Whether a field's text equals s byte for byte (s is NUL-terminated).
bool fieldEquals(const char *field, size_t width, const char *s);

// A field's text as a byte array.
QByteArray fieldBytes(const char *field, size_t width);
template <size_t N> QByteArray fieldBytes(const char (&field)[N]) { return fieldBytes(field, N); }

template <size_t N> void copyName(char (&field)[N], const char *name) { copyName(field, N, name); }
template <size_t N> void copyText(char (&field)[N], const char *s) { copyText(field, N, s); }

} // namespace text
