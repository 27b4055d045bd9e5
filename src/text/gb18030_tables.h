// GB18030 as iconv maps it, in the terms of code page 936: the two-byte codes
// that differ from it, and the four-byte codes. The Windows converter reads
// and writes GB18030 with them and code page 936.
#pragma once

#include <cstdint>

namespace text {

struct Gb18030Pair {
    uint16_t code;      // lead byte << 8 | trail byte
    uint32_t codePoint; // 0: not a character in GB18030
};

struct Gb18030Run {
    uint32_t index;     // linear index of the run's first four-byte code
    uint32_t codePoint; // of that code, the next ones following; 0: unmapped
};

// The two-byte code's GB18030 mapping where it differs from code page 936,
// else null.
const Gb18030Pair *gb18030TwoByteException(uint16_t code);
// The two-byte code that GB18030 gives a code point where code page 936 gives
// it another or none, else null.
const Gb18030Pair *gb18030TwoByteFor(uint32_t codePoint);

// Linear index of a four-byte code b1 b2 b3 b4: ((b1 - 0x81) * 10 + b2 - 0x30)
// * 1260 + (b3 - 0x81) * 10 + b4 - 0x30.
uint32_t gb18030FourByteIndex(const unsigned char *bytes);
void gb18030FourByteCode(uint32_t index, unsigned char *bytes);

// The code point of a four-byte code's linear index, 0 when it has none.
uint32_t gb18030FromFourByte(uint32_t index);
// The linear index of the four-byte code of a code point, or -1 when it has
// none (a code point of the two-byte area, a surrogate, or above U+10FFFF).
int64_t gb18030ToFourByte(uint32_t codePoint);

} // namespace text
