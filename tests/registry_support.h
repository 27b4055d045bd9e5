// Helpers shared by the registry tests: a recording host window, one event
// trail for signals and window messages, and hand-made datagrams.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <cstring>
#include <memory>
#include <vector>

#include "support/peer.h"
#include "support/test_window.h"
#include "io/outgoing_tap.h"

// A host window that appends what it receives to a trail: "list:<code>" for
// WM_UDP_LIST, "log:<line without time>" for WM_UDP_LOG, "data:<size>".
struct RecordingWindow {
    MUDPWindow window{&RecordingWindow::proc, this};
    QStringList *trail;

    explicit RecordingWindow(QStringList *trail) : trail(trail) {}
    HWND handle() { return windowHandle(window); }

    static LRESULT proc(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
    {
        auto *self = static_cast<RecordingWindow *>(windowUser(w));
        if (message == WM_UDP_LIST)
            *self->trail << QStringLiteral("list:%1").arg(wParam);
        else if (message == WM_UDP_LOG)
            *self->trail << QStringLiteral("log:") +
                                QString::fromUtf8(reinterpret_cast<const char *>(wParam), int(lParam)).mid(9);
        else if (message == WM_UDP_DATA)
            *self->trail << QStringLiteral("data:%1").arg(lParam);
        return 0;
    }
};

// Clients "c0", "c1", ... on 127.0.0.3, at the ports from `firstPort` on.
inline std::vector<std::unique_ptr<Peer>> numberedClients(int count, unsigned short firstPort)
{
    std::vector<std::unique_ptr<Peer>> clients;
    for (int i = 0; i < count; ++i) {
        const QByteArray name = "c" + QByteArray::number(i);
        clients.push_back(std::make_unique<Peer>(name.constData(), "127.0.0.3", firstPort + i));
    }
    return clients;
}

// Puts the unit's list signals on the same trail as its window messages.
inline void traceSignals(MUDPUnit &u, QStringList *trail)
{
    UnitInspector::onUserListChanged(u, [trail] { *trail << QStringLiteral("userListChanged"); });
    UnitInspector::onClientChanged(u, [trail] { *trail << QStringLiteral("clientChanged"); });
    UnitInspector::onServerChanged(u, [trail](const QString &ip, unsigned short port, bool deleted) {
        *trail << QStringLiteral("serverChanged:%1:%2:%3").arg(ip).arg(port).arg(deleted ? 1 : 0);
    });
}

// The entries of a trail that are not log lines.
inline QStringList withoutLogs(const QStringList &trail)
{
    QStringList out;
    for (const QString &e : trail)
        if (!e.startsWith(QLatin1String("log:")))
            out << e;
    return out;
}

// A one-packet message carrying `payload` (at most 500 bytes), with a fresh
// identity, as a peer at localIp:localPort would send it.
inline NOLVUDPPACKET onePacket(const QByteArray &payload, const char *localIp = "127.0.0.9",
                               unsigned short localPort = 47999)
{
    static int32_t serial = 1000;
    NOLVUDPPACKET p;
    std::memset(&p, 0, sizeof p);
    p.date = 2460000;
    p.time = ++serial;
    p.type = 2;
    std::strncpy(p.localIp, localIp, sizeof p.localIp - 1);
    p.localPort = localPort;
    p.index = 1;
    p.total = 1;
    p.len = static_cast<int16_t>(payload.size());
    std::memcpy(p.data, payload.constData(), static_cast<size_t>(payload.size()));
    p.checksum = qChecksum(QByteArrayView(p.data, sizeof p.data), Qt::ChecksumIso3309);
    return p;
}

// Hands a one-packet message to the unit as if it came from ip:port.
inline void inject(MUDPUnit &u, const QByteArray &payload, const char *ip, unsigned short port)
{
    NOLVUDPPACKET p = onePacket(payload);
    UnitInspector::processPacket(u, &p, QHostAddress(QString::fromLatin1(ip)), port);
}

// Has `u` take ip:port as its server, as if it had registered there: a REG
// noted as sent, then the REGACC `text` from that peer.
inline void acceptAsServer(MUDPUnit &u, const QByteArray &text, const char *ip, unsigned short port)
{
    u.parts().registration.pending().sent(ip, port);
    inject(u, text, ip, port);
}

// A text field of a record as a byte array (up to its NUL, within its width).
template <size_t N> QByteArray field(const char (&f)[N])
{
    return QByteArray(f, static_cast<qsizetype>(strnlen(f, N)));
}

// Whether a field holds a NUL and only zero bytes after it.
template <size_t N> bool zeroTail(const char (&f)[N])
{
    const size_t n = strnlen(f, N);
    if (n >= N)
        return false;
    for (size_t i = n; i < N; ++i)
        if (f[i] != '\0')
            return false;
    return true;
}

// Counts the unit's outgoing datagrams whose payload starts with `word`
// followed by "$", and lets them through.
struct WordCounter {
    MUDPUnit *unit;
    QByteArray prefix;
    int count = 0;
    bool drop = false; // drop the counted datagrams instead of sending them

    WordCounter(MUDPUnit &u, const char *word) : unit(&u), prefix(QByteArray(word) + '$')
    {
        unit->setOutgoingTap([this](QByteArray &d, QHostAddress &, quint16 &) {
            if (d.size() >= 48 && d.mid(48).startsWith(prefix)) {
                ++count;
                return !drop;
            }
            return true;
        });
    }
    ~WordCounter() { unit->setOutgoingTap(nullptr); }
};
