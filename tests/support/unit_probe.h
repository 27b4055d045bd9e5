// Access to a unit for the tests: its parts, its signals, and its tick.
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
    static const QList<NOLVUDPBUFFER *> &sentBuffers(const MUDPUnit &u) { return u.parts().outgoing.all(); }
    static const QList<NOLVUDPBUFFER *> &recvBuffers(const MUDPUnit &u) { return u.parts().incoming.all(); }
    static const QList<SENDRECORD *> &sendRecords(const MUDPUnit &u) { return u.parts().sends.all(); }
    static const QList<PEERINFO *> &serverList(const MUDPUnit &u) { return u.parts().peers.servers().all(); }
    static const QList<PEERINFO *> &clientList(const MUDPUnit &u) { return u.parts().peers.clients().all(); }
    static const QList<PEERINFO *> &liveUserList(const MUDPUnit &u) { return u.parts().peers.liveUsers().all(); }
    static unsigned short boundPort(const MUDPUnit &u) { return u.parts().self.boundPort; }
    static const char *localName(const MUDPUnit &u) { return u.parts().self.name; }
    static const char *localAddr(const MUDPUnit &u) { return u.parts().self.addr; }
    static int heartbeatTicks(const MUDPUnit &u) { return u.parts().heartbeat.tickCount(); }
    // The server sends whole lists to every client, our units too.
    static void wholeListsOnly(MUDPUnit &u) { u.parts().diffPush.setWholeListsOnly(true); }
    static void setHeartbeatTicks(MUDPUnit &u, int v) { u.parts().heartbeat.setTickCount(v); }
    static bool timeoutBusy(const MUDPUnit &u) { return u.timeoutBusy; }
    static void setTimeoutBusy(MUDPUnit &u, bool v) { u.timeoutBusy = v; }
    static QTimer *timer(const MUDPUnit &u) { return u.timer; }
    static QUdpSocket *socket(const MUDPUnit &u) { return u.parts().socket.socket(); }
    static PEERINFO *listScratch(const MUDPUnit &u) { return u.parts().lists.scratch(); }
    static int receivers(const MUDPUnit &u, const char *signal) { return u.receivers(signal); }
    static int receiveDepth(const MUDPUnit &u) { return u.parts().socket.depth(); }
    static size_t backlogSize(const MUDPUnit &u) { return u.parts().socket.backlogSize(); }
    static const ReceiveBudget &recvBudget(const MUDPUnit &u) { return u.parts().incoming.budget(); }
    static int pathCount(const MUDPUnit &u) { return u.parts().paths.size(); }
    static int retiredCount(const MUDPUnit &u) { return u.parts().life.retiredCount(); }
    static void noteRegSent(MUDPUnit &u, const char *ip, unsigned short port)
    {
        u.parts().registration.pending().sent(ip, port);
    }
    static void ageRegistrations(MUDPUnit &u, qint64 ms) { u.parts().registration.pending().age(ms); }

    static void tick(MUDPUnit &u) { u.timeout(); }
    static void checkRecvBuffers(MUDPUnit &u) { u.parts().recoveryPass.expireRecords(); }
    static void resendRecords(MUDPUnit &u) { u.parts().sends.tick(); }
    static void heartbeatTick(MUDPUnit &u) { u.parts().heartbeat.tick(); }
    static QTimer *aliveRetryTimer(const MUDPUnit &u) { return u.parts().heartbeat.retryTimer(); }
    static void sendRetryAlives(MUDPUnit &u) { u.parts().heartbeat.sendRetryAlives(); }
    static void lossRecoveryPass(MUDPUnit &u) { u.parts().recoveryPass.run(); }
    static void runWriter(MUDPUnit &u) { u.parts().writer.run(); }

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
        u.parts().merge.merge(records.constData(), static_cast<int>(records.size() / sizeof(PEERINFO)), serverIp,
                              port);
    }
    static bool holeToLiveUser(MUDPUnit &u, const char *ip, unsigned short port, const char *name,
                               const char *serverIp, unsigned short serverPort)
    {
        return u.parts().holes.toLiveUser(ip, port, name, serverIp, serverPort);
    }
    static PEERINFO *findLiveUser(const MUDPUnit &u, const char *ip, unsigned short port, const char *name,
                                  const char *serverIp, unsigned short serverPort)
    {
        return u.parts().peers.findLiveUser(ip, port, name, serverIp, serverPort);
    }
    static PEERINFO *findClient(const MUDPUnit &u, const char *ip, unsigned short port, const char *name)
    {
        return u.parts().peers.findClient(ip, port, name);
    }
    static PEERINFO *findServer(const MUDPUnit &u, const char *ip, unsigned short port, const char *name)
    {
        return u.parts().peers.findServer(ip, port, name);
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
