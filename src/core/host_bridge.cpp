#include "core/host_bridge.h"

#include <QDateTime>

#include "platform/host_window.h"
#include "text/fixed_text.h"

void HostBridge::writeLog(const QString &msg)
{
    const QString line = QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss:")) + msg;
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
