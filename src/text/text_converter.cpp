#include "text/text_converter.h"

#include <cstring>

#include "text/conversion.h"

QString TextConverter::decode(const char *fromCode, const char *bytes)
{
    if (!bytes)
        return QString();
    text::convert("UTF-8", fromCode, bytes, std::strlen(bytes), buffer);
    text = QString::fromUtf8(buffer.constData());
    return text;
}

char *TextConverter::encode(const char *toCode, const QString &input)
{
    const QByteArray utf8 = input.toUtf8();
    text::convert(toCode, "UTF-8", utf8.constData(), static_cast<size_t>(utf8.size()), buffer);
    return buffer.data();
}
