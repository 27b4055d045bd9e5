#if defined(_WIN32)
#include "text/conversion.h"

#include <QString>
#include <cstring>
#include <vector>
#include <windows.h>

namespace text {

namespace {

constexpr UINT gb18030CodePage = 54936;
constexpr UINT unknownCodePage = 0xFFFFFFFFu;

UINT codePage(const char *name)
{
    const QByteArray n = QByteArray(name).toUpper();
    if (n == "GB18030")
        return gb18030CodePage;
    if (n == "UTF-8" || n == "UTF8")
        return CP_UTF8;
    return unknownCodePage;
}

int toWide(UINT cp, const char *in, int n, wchar_t *out, int room)
{
    return MultiByteToWideChar(cp, MB_ERR_INVALID_CHARS, in, n, out, room);
}

// The input as UTF-16, up to its first invalid or incomplete sequence, as
// iconv stops there. A character of either encoding is at most 4 bytes, and
// a lead byte alone never is one, so the shortest run that converts at a
// position is its character.
std::vector<wchar_t> decodeValidPrefix(UINT cp, const char *in, int n)
{
    std::vector<wchar_t> wide;
    const int whole = toWide(cp, in, n, nullptr, 0);
    if (whole > 0) {
        wide.resize(static_cast<size_t>(whole));
        toWide(cp, in, n, wide.data(), whole);
        return wide;
    }
    int pos = 0;
    while (pos < n) {
        wchar_t unit[4];
        int len = 1, got = 0;
        for (; len <= 4 && pos + len <= n; ++len) {
            got = toWide(cp, in + pos, len, unit, 4);
            if (got > 0)
                break;
        }
        if (got <= 0)
            break;
        wide.insert(wide.end(), unit, unit + got);
        pos += len;
    }
    return wide;
}

int fromWide(UINT cp, const wchar_t *in, int n, char *out, int room)
{
    return WideCharToMultiByte(cp, 0, in, n, out, room, nullptr, nullptr);
}

} // namespace

void convert(const char *toCode, const char *fromCode, const char *in, size_t n, QByteArray &buffer)
{
    buffer.fill('\0', static_cast<qsizetype>(2 * n));
    if (n == 0)
        return;
    const UINT from = codePage(fromCode), to = codePage(toCode);
    if (from == unknownCodePage || to == unknownCodePage) {
        std::memcpy(buffer.data(), in, n);
        return;
    }
    const std::vector<wchar_t> wide = decodeValidPrefix(from, in, static_cast<int>(n));
    int units = static_cast<int>(wide.size());
    const int room = static_cast<int>(buffer.size());
    // Whole characters only: drop the last one, surrogate pairs together,
    // until the result fits.
    while (units > 0 && fromWide(to, wide.data(), units, nullptr, 0) > room)
        units -= (units >= 2 && QChar::isLowSurrogate(wide[static_cast<size_t>(units) - 1])) ? 2 : 1;
    if (units > 0)
        fromWide(to, wide.data(), units, buffer.data(), room);
}

} // namespace text
#endif
