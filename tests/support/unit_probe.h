// What only the façade can answer the tests: its signals, its tick and the
// tick's flag, and its private slots. Everything else a test reaches through
// unit.parts() or its own fixture of parts (support/transport_parts.h).
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include <QTimer>
#include <QUdpSocket>

#include "unit/mudp_unit.h"
#include "unit/parts.h"

struct UnitInspector {
    // The server sends whole lists to every client, our units too.
    static void wholeListsOnly(MUDPUnit &u) { u.parts().diffPush.setWholeListsOnly(true); }
    static bool timeoutBusy(const MUDPUnit &u) { return u.timeoutBusy; }
    static void setTimeoutBusy(MUDPUnit &u, bool v) { u.timeoutBusy = v; }
    static QTimer *timer(const MUDPUnit &u) { return u.timer; }
    static int receivers(const MUDPUnit &u, const char *signal) { return u.receivers(signal); }

    static void tick(MUDPUnit &u) { u.timeout(); }

    static void processPacket(MUDPUnit &u, NOLVUDPPACKET *p, const QHostAddress &from, unsigned short port)
    {
        u.processPacket(p, from, port);
    }
    static void sendProtocol(MUDPUnit &u, const QByteArray &text, const char *ip, unsigned short port, int size = 0)
    {
        Lifetime::Entry entry(u.parts().life);
        u.parts().controls.sendText(text, ip, port, size);
    }
    static NOLVUDPBUFFER *buildBuffer(MUDPUnit &u, const QByteArray &bytes, const char *header = nullptr)
    {
        return u.parts().outgoing.build(bytes.constData(), static_cast<int>(bytes.size()), header);
    }
    static void sendBufferToAddr(MUDPUnit &u, NOLVUDPBUFFER *b, const char *ip, unsigned short port)
    {
        u.sendBufferToAddr(b, const_cast<char *>(ip), port);
    }
    static void mergePeerList(MUDPUnit &u, const QByteArray &records, const char *serverIp, unsigned short port)
    {
        u.parts().merge.merge(records.constData(), static_cast<int>(records.size() / sizeof(PEERINFO)), serverIp, port);
    }
    static void rebuildLiveUserByServer(MUDPUnit &u, const char *ip, unsigned short port, bool deleted)
    {
        u.rebuildLiveUserByServer(const_cast<char *>(ip), port, deleted);
    }
    static void writeLog(MUDPUnit &u, const QString &msg) { u.writeLog(msg); }

    // Signal hooks (the signals are protected).
    static void onLog(MUDPUnit &u, std::function<void(const QString &)> fn);
    static void onData(MUDPUnit &u, std::function<void(const QByteArray &)> fn);
    static void onUserListChanged(MUDPUnit &u, std::function<void()> fn);
    static void onClientChanged(MUDPUnit &u, std::function<void()> fn);
    static void onServerChanged(MUDPUnit &u, std::function<void(const QString &, unsigned short, bool)> fn);
};
