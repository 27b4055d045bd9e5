#if defined(_WIN32)
#include "text/conversion.h"

#include <QChar>
#include <cstring>
#include <vector>
#include <windows.h>

#include "text/gb18030_tables.h"

namespace text {

namespace {

// UTF-8 goes through the system's code page. GB18030 goes through code page
// 936 and the GB18030 tables rather than code page 54936, which Wine lacks
// and whose mapping of some codes is older than iconv's.
enum class Codec { Utf8, Gb18030, Unknown };

constexpr UINT gbkCodePage = 936;

Codec codecFor(const char *name)
{
    const QByteArray n = QByteArray(name).toUpper();
    if (n == "GB18030")
        return Codec::Gb18030;
    if (n == "UTF-8" || n == "UTF8")
        return Codec::Utf8;
    return Codec::Unknown;
}

void appendCodePoint(std::vector<wchar_t> &out, uint32_t cp)
{
    if (cp >= 0x10000) {
        out.push_back(wchar_t(QChar::highSurrogate(cp)));
        out.push_back(wchar_t(QChar::lowSurrogate(cp)));
    } else {
        out.push_back(wchar_t(cp));
    }
}

// Length of the GB18030 character at in (n bytes left) with its code point,
// or 0 when the bytes there are no whole character.
int readTableChar(const unsigned char *in, int n, uint32_t &cp)
{
    const unsigned char lead = in[0];
    if (lead < 0x80) {
        cp = lead;
        return 1;
    }
    if (lead == 0x80 || lead == 0xFF || n < 2)
        return 0;
    if (in[1] >= 0x30 && in[1] <= 0x39) {
        if (n < 4 || in[2] < 0x81 || in[2] == 0xFF || in[3] < 0x30 || in[3] > 0x39)
            return 0;
        cp = gb18030FromFourByte(gb18030FourByteIndex(in));
        return cp ? 4 : 0;
    }
    if (in[1] < 0x40 || in[1] == 0x7F || in[1] == 0xFF)
        return 0;
    if (const Gb18030Pair *p = gb18030TwoByteException(uint16_t(lead << 8 | in[1]))) {
        cp = p->codePoint;
        return cp ? 2 : 0;
    }
    wchar_t w[2];
    if (MultiByteToWideChar(gbkCodePage, MB_ERR_INVALID_CHARS, reinterpret_cast<const char *>(in), 2, w, 2) != 1)
        return 0;
    cp = w[0];
    return 2;
}

// The input as UTF-16, up to its first invalid or incomplete sequence, where
// iconv stops too.
std::vector<wchar_t> decode(Codec codec, const char *in, int n)
{
    std::vector<wchar_t> wide;
    if (codec == Codec::Gb18030) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(in);
        uint32_t cp = 0;
        for (int pos = 0, len; pos < n && (len = readTableChar(bytes + pos, n - pos, cp)) > 0; pos += len)
            appendCodePoint(wide, cp);
        return wide;
    }
    const UINT cp = CP_UTF8;
    const int whole = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in, n, nullptr, 0);
    if (whole > 0) {
        wide.resize(size_t(whole));
        MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in, n, wide.data(), whole);
        return wide;
    }
    // A UTF-8 character is at most 4 bytes and a lead byte alone never is
    // one, so the shortest run that converts at a position is its character.
    for (int pos = 0; pos < n;) {
        wchar_t unit[2];
        int len = 1, got = 0;
        for (; len <= 4 && pos + len <= n; ++len)
            if ((got = MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in + pos, len, unit, 2)) > 0)
                break;
        if (got <= 0)
            break;
        wide.insert(wide.end(), unit, unit + got);
        pos += len;
    }
    return wide;
}

// Writes the character of `units` UTF-16 units (code point cp) into out,
// which has room for 4 bytes; returns the byte count, 0 when it has no code.
int encodeChar(Codec codec, const wchar_t *w, int units, uint32_t cp, char *out)
{
    if (codec == Codec::Utf8)
        return WideCharToMultiByte(CP_UTF8, 0, w, units, out, 4, nullptr, nullptr);
    if (cp < 0x80) {
        out[0] = char(cp);
        return 1;
    }
    if (const Gb18030Pair *p = gb18030TwoByteFor(cp)) {
        out[0] = char(p->code >> 8);
        out[1] = char(p->code & 0xFF);
        return 2;
    }
    BOOL defaulted = FALSE;
    if (WideCharToMultiByte(gbkCodePage, WC_NO_BEST_FIT_CHARS, w, units, out, 4, nullptr, &defaulted) == 2 &&
        !defaulted && !gb18030TwoByteException(uint16_t(uint8_t(out[0]) << 8 | uint8_t(out[1]))))
        return 2;
    const int64_t index = gb18030ToFourByte(cp);
    if (index < 0)
        return 0;
    gb18030FourByteCode(uint32_t(index), reinterpret_cast<unsigned char *>(out));
    return 4;
}

} // namespace

void convert(const char *toCode, const char *fromCode, const char *in, size_t n, QByteArray &buffer)
{
    buffer.fill('\0', static_cast<qsizetype>(2 * n));
    if (n == 0)
        return;
    const Codec from = codecFor(fromCode), to = codecFor(toCode);
    if (from == Codec::Unknown || to == Codec::Unknown) {
        std::memcpy(buffer.data(), in, n);
        return;
    }
    const std::vector<wchar_t> wide = decode(from, in, static_cast<int>(n));
    // Whole characters only, up to the first that has no code in the target
    // or does not fit the room.
    char *out = buffer.data();
    size_t used = 0;
    for (size_t i = 0; i < wide.size();) {
        uint32_t cp = uint16_t(wide[i]);
        int units = 1;
        if (QChar::isHighSurrogate(cp) && i + 1 < wide.size() && QChar::isLowSurrogate(uint16_t(wide[i + 1]))) {
            cp = QChar::surrogateToUcs4(char16_t(wide[i]), char16_t(wide[i + 1]));
            units = 2;
        } else if (QChar::isSurrogate(cp)) {
            break;
        }
        char bytes[4];
        const int len = encodeChar(to, wide.data() + i, units, cp, bytes);
        if (len <= 0 || used + size_t(len) > n * 2)
            break;
        std::memcpy(out + used, bytes, size_t(len));
        used += size_t(len);
        i += size_t(units);
    }
}

} // namespace text
#endif
