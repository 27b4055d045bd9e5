#include "text/text_converter.h"

#include <cstring>
#include <iconv.h>

namespace {

// One iconv pass from input into buffer, which holds twice the input length;
// what does not fit or does not convert is cut. An unknown encoding copies
// the bytes unchanged.
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

} // namespace

QString TextConverter::decode(const char *fromCode, const char *bytes)
{
    if (!bytes)
        return QString();
    convert("UTF-8", fromCode, bytes, std::strlen(bytes), buffer);
    text = QString::fromUtf8(buffer.constData());
    return text;
}

char *TextConverter::encode(const char *toCode, const QString &input)
{
    const QByteArray utf8 = input.toUtf8();
    convert(toCode, "UTF-8", utf8.constData(), static_cast<size_t>(utf8.size()), buffer);
    return buffer.data();
}
