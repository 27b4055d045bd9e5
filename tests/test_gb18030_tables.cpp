// The GB18030 tables of the Windows converter agree with iconv: every
// four-byte code of the BMP range, the supplementary range's ends, and each
// two-byte code that differs from code page 936, in both directions.
#include <gtest/gtest.h>

#include <iconv.h>
#include <string>

#include "text/gb18030_tables.h"

namespace {

// One iconv conversion; "" when the input is no whole character.
std::string iconvConvert(const char *to, const char *from, const std::string &in)
{
    iconv_t cd = iconv_open(to, from);
    char out[16];
    char *src = const_cast<char *>(in.data());
    size_t srcLeft = in.size(), dstLeft = sizeof out;
    char *dst = out;
    const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    return r == size_t(-1) || srcLeft ? std::string() : std::string(out, sizeof out - dstLeft);
}

uint32_t iconvDecode(const std::string &gb)
{
    const std::string u = iconvConvert("UTF-32BE", "GB18030", gb);
    if (u.size() != 4)
        return 0;
    const auto *b = reinterpret_cast<const unsigned char *>(u.data());
    return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

std::string iconvEncode(uint32_t cp)
{
    const char u[4] = {char(cp >> 24), char(cp >> 16), char(cp >> 8), char(cp)};
    return iconvConvert("GB18030", "UTF-32BE", std::string(u, 4));
}

std::string fourByteCode(uint32_t index)
{
    unsigned char b[4];
    text::gb18030FourByteCode(index, b);
    EXPECT_EQ(text::gb18030FourByteIndex(b), index);
    return std::string(reinterpret_cast<char *>(b), 4);
}

} // namespace

TEST(Gb18030Tables, FourByteCodesMatchIconv)
{
    for (uint32_t index = 0; index < 39420 + 20; ++index)
        ASSERT_EQ(text::gb18030FromFourByte(index), iconvDecode(fourByteCode(index))) << index;
    for (uint32_t index : {189000u, 189001u, 254536u, 189000u + 0xFFFFFu, 189000u + 0x100000u})
        EXPECT_EQ(text::gb18030FromFourByte(index), iconvDecode(fourByteCode(index))) << index;

    // Every code point that iconv writes with four bytes gets that code.
    for (uint32_t cp = 0x80; cp < 0x10000; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;
        const std::string gb = iconvEncode(cp);
        if (gb.size() == 4) {
            ASSERT_EQ(fourByteCode(uint32_t(text::gb18030ToFourByte(cp))), gb) << std::hex << cp;
        }
    }
    EXPECT_EQ(fourByteCode(uint32_t(text::gb18030ToFourByte(0x10FFFF))), iconvEncode(0x10FFFF));
    EXPECT_EQ(text::gb18030ToFourByte(0x110000), -1);
    EXPECT_EQ(text::gb18030ToFourByte(0x4E2D), -1); // a two-byte character
}

TEST(Gb18030Tables, TwoByteExceptionsMatchIconv)
{
    int exceptions = 0;
    for (unsigned lead = 0x81; lead <= 0xFE; ++lead)
        for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
            const auto *p = text::gb18030TwoByteException(uint16_t(lead << 8 | trail));
            if (!p)
                continue;
            ++exceptions;
            const std::string gb{char(lead), char(trail)};
            EXPECT_EQ(p->codePoint, iconvDecode(gb)) << std::hex << p->code;
            if (p->codePoint) {
                EXPECT_EQ(iconvEncode(p->codePoint), gb) << std::hex << p->code;
                EXPECT_EQ(text::gb18030TwoByteFor(p->codePoint), p);
            }
        }
    EXPECT_GT(exceptions, 100);
    EXPECT_EQ(text::gb18030TwoByteFor(0x4E2D), nullptr);
}
