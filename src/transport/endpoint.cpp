#include "transport/endpoint.h"

#include <QHostAddress>
#include <cstring>

namespace transport {

QByteArray endpointKey(const char *ip, unsigned short port)
{
    QByteArray key(ip, static_cast<qsizetype>(strnlen(ip, 16)));
    key += ':';
    key += QByteArray::number(port);
    return key;
}

void formatIPv4(quint32 address, char (&out)[16])
{
    char *p = out;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned octet = (address >> shift) & 0xff;
        if (octet >= 100)
            *p++ = char('0' + octet / 100);
        if (octet >= 10)
            *p++ = char('0' + octet / 10 % 10);
        *p++ = char('0' + octet % 10);
        if (shift)
            *p++ = '.';
    }
    std::memset(p, 0, size_t(out + sizeof out - p));
}

quint32 parseIPv4(const char *text)
{
    bool ok = false;
    const quint32 v4 = QHostAddress(QString::fromLatin1(text, qsizetype(strnlen(text, 16)))).toIPv4Address(&ok);
    return ok ? v4 : 0;
}

} // namespace transport
