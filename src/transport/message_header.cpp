#include "transport/message_header.h"

#include "transport/wire.h"

#include <cstring>

HeaderFields HeaderFields::parse(const char *message, int size)
{
    HeaderFields h;
    if (!message || size <= 0)
        return h;
    const int limit = size < wire::kMessageHeaderSize ? size : wire::kMessageHeaderSize;
    const int end = static_cast<int>(strnlen(message, static_cast<size_t>(limit)));
    int at = 0;
    while (at < end && h.count < kPositions) {
        while (at < end && message[at] == '$')
            ++at;
        const int start = at;
        while (at < end && message[at] != '$')
            ++at;
        if (at > start)
            h.fields[h.count++] = QByteArray(message + start, at - start);
    }
    return h;
}

const char *HeaderFields::text(int i) const
{
    return has(i) ? fields[i].constData() : "";
}

int HeaderFields::number(int i) const
{
    return leadingNumber(text(i));
}

bool HeaderFields::port(int i, unsigned short *out) const
{
    const char *s = text(i);
    uint32_t value = 0;
    int digits = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        value = value * 10u + static_cast<uint32_t>(*s - '0');
        if (++digits > 5 || value > 65535u)
            return false;
    }
    if (digits == 0)
        return false;
    *out = static_cast<unsigned short>(value);
    return true;
}

int leadingNumber(const char *s)
{
    uint32_t value = 0;
    for (; *s >= '0' && *s <= '9'; ++s)
        value = value * 10u + static_cast<uint32_t>(*s - '0');
    return static_cast<int>(value);
}
