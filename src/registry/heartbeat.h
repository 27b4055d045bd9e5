// Heartbeats: the timer job that sends ALIVE to the servers and expires
// silent or marked servers and clients, the second ALIVE of a retry, and the
// ALIVE and RE_ALIVE handlers.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QSet>

#include "mudp.h"

class ControlSender;
class HostBridge;
class Lifetime;
class PeerTables;
class QObject;
class QTimer;
struct LocalIdentity;
struct Message;

class Heartbeat {
public:
    Heartbeat(QObject *owner, LocalIdentity &self, PeerTables &tables, ControlSender &controls, HostBridge &host,
              Lifetime &life);

    void tick();
    // A registration restarts the count of ticks to the next heartbeat.
    void restartCount() { ticks = 0; }
    int tickCount() const { return ticks; }
    void setTickCount(int n) { ticks = n; }
    QTimer *retryTimer() const { return aliveRetryTimer; }
    void stop();
    // The second ALIVEs of a tick's retries.
    void sendRetryAlives();

    void handleAlive(Message &m);
    void handleReAlive(Message &m);

private:
    void tickServers();
    void tickClients();
    void expireServer(int i, const QString &label);
    void sendAlive(const char *ip, unsigned short port, const QString &label);

    LocalIdentity &self;
    PeerTables &tables;
    ControlSender &controls;
    HostBridge &host;
    Lifetime &life;
    int ticks = 0;                               // timer ticks since heartbeats were last sent
    QSet<const PEERINFO *> unansweredHeartbeats; // server entries whose last ALIVE got no RE_ALIVE
    QList<QPair<QByteArray, unsigned short>> pendingAlives; // second ALIVEs of a tick, sent a little later
    QTimer *aliveRetryTimer;
};
