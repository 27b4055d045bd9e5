// One conversion of a byte string between two encodings, by the platform's
// own means: iconv, or the Windows code pages.
#pragma once

#include <QByteArray>
#include <cstddef>

namespace text {

// Converts the n bytes at in from fromCode to toCode into buffer, which is
// resized to 2 * n bytes, all zero, first. Conversion stops at the first
// invalid or incomplete sequence, and at the last whole character that fits
// the buffer. An encoding the platform does not know copies the bytes
// unchanged.
void convert(const char *toCode, const char *fromCode, const char *in, size_t n, QByteArray &buffer);

} // namespace text
