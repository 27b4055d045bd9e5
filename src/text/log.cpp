#include <QDateTime>
#include <cstring>

#include "text/fixed_text.h"
#include "transport/message.h"
#include "unit/mudp_unit.h"

void MUDPUnit::writeLog(const QString &msg)
{
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss:")) + msg;
    Q_EMIT udpLog(line);
    if (hostWindow) {
        // A copy of its own: the host's procedure may log or decode names,
        // which reuses the converter's buffer, before it reads the line.
        const QByteArray encoded(textConverter.encode("GB18030", line));
        notifyHost(WM_UDP_LOG, reinterpret_cast<WPARAM>(encoded.constData()), static_cast<LPARAM>(encoded.size()));
    }
}

QString MUDPUnit::name(const QByteArray &gb18030)
{
    return textConverter.decode("GB18030", gb18030.constData());
}

QString MUDPUnit::peerName(const PEERINFO *peer)
{
    return name(text::fieldBytes(peer->name));
}

QString MUDPUnit::peerLabel(const PEERINFO *peer)
{
    return peerName(peer) + QLatin1Char(' ') + QString::fromLatin1(text::fieldBytes(peer->ip)) +
           QLatin1Char(':') + QString::number(peer->port);
}

QString MUDPUnit::endpointLabel(const char *ip, unsigned short port)
{
    return QString::fromLatin1(ip, qsizetype(strnlen(ip, 16))) + QLatin1Char(':') + QString::number(port);
}

QString MUDPUnit::sourceLabel(const Message &m) { return endpointLabel(m.srcIp, m.srcPort); }

QString MUDPUnit::fromLabel(const char *ip)
{
    return tr(" From:") + QString::fromLatin1(ip, qsizetype(strnlen(ip, 16)));
}

QString MUDPUnit::fromSource(const Message &m) { return tr(" From:") + sourceLabel(m); }
