#include "text/fixed_text.h"

#include <cstring>

namespace text {

size_t gb18030PrefixLength(const char *s, size_t limit)
{
    if (!s)
        return 0;
    size_t at = 0;
    while (at < limit && s[at] != '\0') {
        const auto lead = static_cast<unsigned char>(s[at]);
        size_t width = 1;
        if (lead >= 0x81 && lead <= 0xFE) {
            // A second byte of 0x30..0x39 starts a four-byte character, any
            // other a two-byte one.
            const auto second = static_cast<unsigned char>(at + 1 < limit ? s[at + 1] : 0);
            width = (second >= 0x30 && second <= 0x39) ? 4 : 2;
        }
        if (at + width > limit)
            break;
        // A NUL inside a multi-byte character ends the text before it.
        bool complete = true;
        for (size_t k = 1; k < width; ++k)
            if (s[at + k] == '\0')
                complete = false;
        if (!complete)
            break;
        at += width;
    }
    return at;
}

void copyName(char *field, size_t width, const char *name)
{
    std::memset(field, 0, width);
    const size_t n = gb18030PrefixLength(name, width - 1);
    if (n)
        std::memcpy(field, name, n);
}

void copyText(char *field, size_t width, const char *s)
{
    std::memset(field, 0, width);
    if (!s)
        return;
    const size_t n = strnlen(s, width - 1);
    std::memcpy(field, s, n);
}

size_t fieldLength(const char *field, size_t width)
{
    return strnlen(field, width);
}

bool fieldEquals(const char *field, size_t width, const char *s)
{
    const size_t n = fieldLength(field, width);
    return std::strlen(s) == n && std::memcmp(field, s, n) == 0;
}

QByteArray fieldBytes(const char *field, size_t width)
{
    return QByteArray(field, static_cast<qsizetype>(fieldLength(field, width)));
}

} // namespace text
