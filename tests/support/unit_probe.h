// White-box access to a unit for the tests: its tables, its private slots and
// operations, and its timer.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include <QTimer>
#include <QUdpSocket>

#include "transport/datagram_tap.h"
#include "unit/mudp_unit.h"

struct UnitInspector {
    static const QList<NOLVUDPBUFFER *> &sentBuffers(const MUDPUnit &u) { return u.sentBuffers.all(); }
    static const QList<NOLVUDPBUFFER *> &recvBuffers(const MUDPUnit &u) { return u.recvBuffers.all(); }
    static const QList<SENDRECORD *> &sendRecords(const MUDPUnit &u) { return u.sendRecords.all(); }
    static const QList<PEERINFO *> &serverList(const MUDPUnit &u) { return u.serverList.all(); }
    static const QList<PEERINFO *> &clientList(const MUDPUnit &u) { return u.clientList.all(); }
    static const QList<PEERINFO *> &liveUserList(const MUDPUnit &u) { return u.liveUserList.all(); }
    static unsigned short boundPort(const MUDPUnit &u) { return u.boundPort; }
    static const char *localName(const MUDPUnit &u) { return u.localName; }
    static const char *localAddr(const MUDPUnit &u) { return u.localAddr; }
    static int heartbeatTicks(const MUDPUnit &u) { return u.heartbeatTicks; }
    static void setHeartbeatTicks(MUDPUnit &u, int v) { u.heartbeatTicks = v; }
    static bool timeoutBusy(const MUDPUnit &u) { return u.timeoutBusy; }
    static void setTimeoutBusy(MUDPUnit &u, bool v) { u.timeoutBusy = v; }
    static QTimer *timer(const MUDPUnit &u) { return u.timer; }
    static QUdpSocket *socket(const MUDPUnit &u) { return u.recvSocket; }
    static PEERINFO *listScratch(const MUDPUnit &u) { return u.listScratch; }
    static int receivers(const MUDPUnit &u, const char *signal) { return u.receivers(signal); }
    static int receiveDepth(const MUDPUnit &u) { return u.receiveDepth; }
    static size_t backlogSize(const MUDPUnit &u) { return u.backlog.size(); }
    static const ReceiveBudget &recvBudget(const MUDPUnit &u) { return u.recvBudget; }
    // Peer endpoints the transport keeps state for, and records let go of
    // but not yet freed.
    static int pathCount(const MUDPUnit &u) { return u.paths.size(); }
    static int retiredCount(const MUDPUnit &u) { return u.graveyard.size(); }
    // As if a REG had gone to ip:port; and making the REGs sent so far older.
    static void noteRegSent(MUDPUnit &u, const char *ip, unsigned short port) { u.pendingRegistrations.sent(ip, port); }
    static void ageRegistrations(MUDPUnit &u, qint64 ms) { u.pendingRegistrations.age(ms); }

    // One timer tick, as the timer would run it.
    static void tick(MUDPUnit &u) { u.timeout(); }
    static void checkRecvBuffers(MUDPUnit &u) { u.checkRecvBuffers(); }
    static void resendRecords(MUDPUnit &u) { u.resendRecords(); }
    static void heartbeatTick(MUDPUnit &u) { u.heartbeatTick(); }
    // The timer that sends the second ALIVE of a retry, and what it runs.
    static QTimer *aliveRetryTimer(const MUDPUnit &u) { return u.aliveRetryTimer; }
    static void sendRetryAlives(MUDPUnit &u) { u.sendRetryAlives(); }
    static void lossRecoveryPass(MUDPUnit &u) { u.lossRecoveryPass(); }
    static void runWriter(MUDPUnit &u) { u.runWriter(); }
    static QTimer *lossTimer(const MUDPUnit &u) { return u.lossTimer; }

    static void processPacket(MUDPUnit &u, NOLVUDPPACKET *p, const QHostAddress &from, unsigned short port)
    {
        u.processPacket(p, from, port);
    }
    static void sendProtocol(MUDPUnit &u, const QByteArray &text, const char *ip, unsigned short port, int size = 0)
    {
        u.sendText(text, ip, port, size);
    }
    static NOLVUDPBUFFER *buildBuffer(MUDPUnit &u, const QByteArray &bytes, const char *header = nullptr)
    {
        return u.buildBuffer(bytes.constData(), static_cast<int>(bytes.size()), header);
    }
    static void sendBufferToAddr(MUDPUnit &u, NOLVUDPBUFFER *b, const char *ip, unsigned short port)
    {
        u.sendBufferToAddr(b, const_cast<char *>(ip), port);
    }
    static void mergePeerList(MUDPUnit &u, const QByteArray &records, const char *serverIp, unsigned short port)
    {
        u.mergePeerList(records.constData(), static_cast<int>(records.size() / sizeof(PEERINFO)), serverIp, port);
    }
    static bool holeToLiveUser(MUDPUnit &u, const char *ip, unsigned short port, const char *name,
                               const char *serverIp, unsigned short serverPort)
    {
        return u.holeToLiveUser(ip, port, name, serverIp, serverPort);
    }
    static PEERINFO *findLiveUser(const MUDPUnit &u, const char *ip, unsigned short port, const char *name,
                                  const char *serverIp, unsigned short serverPort)
    {
        return u.findLiveUser(ip, port, name, serverIp, serverPort);
    }
    static PEERINFO *findClient(const MUDPUnit &u, const char *ip, unsigned short port, const char *name)
    {
        return u.findClient(ip, port, name);
    }
    static PEERINFO *findServer(const MUDPUnit &u, const char *ip, unsigned short port, const char *name)
    {
        return u.findServer(ip, port, name);
    }
    static void rebuildLiveUserByServer(MUDPUnit &u, const char *ip, unsigned short port, bool deleted)
    {
        u.rebuildLiveUserByServer(const_cast<char *>(ip), port, deleted);
    }
    static void sendNewListToClient(MUDPUnit &u) { u.sendNewListToClient(); }
    static void writeLog(MUDPUnit &u, const QString &msg) { u.writeLog(msg); }

    // Signal hooks (the signals are protected).
    static void onLog(MUDPUnit &u, std::function<void(const QString &)> fn);
    static void onData(MUDPUnit &u, std::function<void(const QByteArray &)> fn);
    static void onUserListChanged(MUDPUnit &u, std::function<void()> fn);
    static void onClientChanged(MUDPUnit &u, std::function<void()> fn);
    static void onServerChanged(MUDPUnit &u, std::function<void(const QString &, unsigned short, bool)> fn);
};
