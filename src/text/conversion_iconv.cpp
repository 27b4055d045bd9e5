#if !defined(_WIN32)
#include "text/conversion.h"

#include <cstring>
#include <iconv.h>

namespace text {

// One iconv pass; its result is not examined, so the output holds what was
// converted before an invalid sequence or the end of the room.
void convert(const char *toCode, const char *fromCode, const char *in, size_t n, QByteArray &buffer)
{
    buffer.fill('\0', static_cast<qsizetype>(2 * n));
    if (n == 0)
        return;
    iconv_t cd = iconv_open(toCode, fromCode);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::memcpy(buffer.data(), in, n);
        return;
    }
    char *src = const_cast<char *>(in);
    size_t srcLeft = n;
    char *dst = buffer.data();
    size_t dstLeft = static_cast<size_t>(buffer.size());
    iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
}

} // namespace text
#endif
