#include "core/host_bridge.h"

#include <QDateTime>

#include "platform/host_window.h"
#include "text/fixed_text.h"

namespace {
// "hh:mm:ss:" of the local time. Reading the local time asks the C library
// for the zone every time, which reads the zone file again: a server that
// logs thousands of lines a second spent a twentieth of its time there. The
// offset from UTC is read once a minute instead.
QString timeOfDay()
{
    thread_local qint64 offsetReadMs = -1;
    thread_local int offsetSecs = 0;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    if (offsetReadMs < 0 || nowMs - offsetReadMs >= 60000 || nowMs < offsetReadMs) {
        offsetSecs = QDateTime::currentDateTime().offsetFromUtc();
        offsetReadMs = nowMs;
    }
    const qint64 day = 86400;
    const qint64 secs = ((nowMs / 1000 + offsetSecs) % day + day) % day;
    const QChar zero(u'0');
    return QStringLiteral("%1:%2:%3:")
        .arg(secs / 3600, 2, 10, zero)
        .arg(secs / 60 % 60, 2, 10, zero)
        .arg(secs % 60, 2, 10, zero);
}
} // namespace

void HostBridge::writeLog(const QString &msg)
{
    const QString line = timeOfDay() + msg;
    emitters.udpLog(line);
    if (hostWindow) {
        // A copy of its own: the host's procedure may log or decode names,
        // which reuses the converter's buffer, before it reads the line.
        const QByteArray encoded(converter.encode("GB18030", line));
        notify(WM_UDP_LOG, reinterpret_cast<WPARAM>(encoded.constData()), static_cast<LPARAM>(encoded.size()));
    }
}

void HostBridge::dataArrived(char *payload, int size)
{
    emitters.dataReady(payload, size);
    notify(WM_UDP_DATA, reinterpret_cast<WPARAM>(payload), static_cast<LPARAM>(size));
}

void HostBridge::liveUsersChanged()
{
    emitters.userListChanged();
    listChanged(LIST_LIVEUSER);
}

void HostBridge::clientsChanged()
{
    emitters.clientChanged();
    listChanged(LIST_CLIENT);
}

void HostBridge::listChanged(int code) { notify(WM_UDP_LIST, static_cast<WPARAM>(code), 0); }

void HostBridge::notify(UINT message, WPARAM wParam, LPARAM lParam)
{
    ++depth;
    platform::sendWindowMessage(hostWindow, message, wParam, lParam);
    if (--depth == 0 && whenLeft)
        whenLeft();
}

QString HostBridge::name(const QByteArray &gb18030) { return converter.decode("GB18030", gb18030.constData()); }

QString HostBridge::peerName(const PEERINFO *peer) { return name(text::fieldBytes(peer->name)); }

QString HostBridge::peerLabel(const PEERINFO *peer)
{
    return peerName(peer) + QLatin1Char(' ') + QString::fromLatin1(text::fieldBytes(peer->ip)) + QLatin1Char(':') +
           QString::number(peer->port);
}
