// How log lines name endpoints.
#pragma once

#include <QString>
#include <cstring>

#include "core/tr.h"

// "ip:port", the address text read up to its NUL within 16 bytes.
inline QString endpointLabel(const char *ip, unsigned short port)
{
    return QString::fromLatin1(ip, qsizetype(strnlen(ip, 16))) + QLatin1Char(':') + QStringLiteral("%1").arg(port);
}

// " From:" and an address text.
inline QString fromLabel(const char *ip) { return tr(" From:") + QString::fromLatin1(ip, qsizetype(strnlen(ip, 16))); }
