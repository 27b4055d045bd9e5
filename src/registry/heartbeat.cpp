#include "registry/heartbeat.h"

#include <QTimer>
#include <cstring>
#include <utility>

#include "core/host_bridge.h"
#include "core/lifetime.h"
#include "registry/peer_tables.h"
#include "text/fixed_text.h"
#include "transport/local_identity.h"
#include "transport/message.h"
#include "transport/send/control_sender.h"

namespace {
constexpr int kExpiredLife = -10;
constexpr int kHeartbeatEvery = 5; // ticks
constexpr int kTickCounterLimit = 65535;
// ALIVEs sent on each tick after an unanswered one: two, the second this
// long after the first, so that at 10 % loss each way a tick's retry fails
// with a chance of about 4 % rather than 19 %, and four failed retries in a
// row (which drop the server at its tenth silent tick) become practically
// impossible. Spaced, a burst that takes one seldom takes both.
constexpr int kAlivesPerRetry = 2;
constexpr int kRetrySpacingMs = 100;
} // namespace

Heartbeat::Heartbeat(QObject *owner, LocalIdentity &self, PeerTables &tables, ControlSender &controls,
                     HostBridge &host, Lifetime &life)
    : self(self), tables(tables), controls(controls), host(host), life(life), aliveRetryTimer(new QTimer(owner))
{
    aliveRetryTimer->setSingleShot(true);
    QObject::connect(aliveRetryTimer, &QTimer::timeout, aliveRetryTimer, [this] {
        Lifetime::Entry entry(this->life);
        sendRetryAlives();
    });
}

void Heartbeat::stop() { aliveRetryTimer->stop(); }

void Heartbeat::tick()
{
    ++ticks;
    // Sends below process events: nested handlers may append entries or change
    // `life`, and only this job removes entries, so walking by position holds.
    if (!tables.servers().isEmpty()) {
        tickServers();
        if (ticks >= kHeartbeatEvery)
            ticks = 0;
    }
    if (!tables.clients().isEmpty())
        tickClients();
}

void Heartbeat::sendAlive(const char *ip, unsigned short port, const QString &label)
{
    controls.sendText("ALIVE$" + self.nameBytes(), ip, port);
    host.writeLog(tr("Commit HeartBeat Command to ") + label);
}

void Heartbeat::expireServer(int i, const QString &label)
{
    PEERINFO *server = tables.servers().at(i);
    char ip[16];
    std::memcpy(ip, server->ip, sizeof ip);
    ip[15] = '\0';
    const unsigned short port = server->port;
    unansweredHeartbeats.remove(server);
    tables.remove(tables.servers(), i);
    host.writeLog(tr("delete expired server") + label);
    tables.dropLiveUsersOf(ip, port);
    host.listChanged(LIST_SERVER);
    host.serverChanged(ip, port, true);
}

void Heartbeat::tickServers()
{
    for (int i = 0; i < tables.servers().size();) {
        PEERINFO *server = tables.servers().at(i);
        --server->life;
        const QString label = host.peerLabel(server);
        if (server->life <= kExpiredLife) {
            expireServer(i, label);
            continue;
        }
        char ip[16];
        std::memcpy(ip, server->ip, sizeof ip);
        ip[15] = '\0';
        const unsigned short port = server->port;
        // An entry whose last ALIVE went unanswered gets ALIVE on every
        // tick until a RE_ALIVE refreshes it or it expires.
        int alives = 0;
        if (ticks > kTickCounterLimit)
            ticks = 0;
        else if (ticks >= kHeartbeatEvery)
            alives = unansweredHeartbeats.contains(server) ? kAlivesPerRetry : 1;
        else if (unansweredHeartbeats.contains(server))
            alives = kAlivesPerRetry;
        if (alives > 0) {
            unansweredHeartbeats.insert(server); // before the send: an answer may come in the log's events
            sendAlive(ip, port, label);
        }
        if (alives > 1) {
            pendingAlives.append({QByteArray(ip), port});
            aliveRetryTimer->start(kRetrySpacingMs);
        }
        ++i;
    }
}

void Heartbeat::tickClients()
{
    for (int i = 0; i < tables.clients().size();) {
        PEERINFO *client = tables.clients().at(i);
        --client->life;
        if (client->life <= kExpiredLife) {
            const QString label = host.peerLabel(client);
            tables.remove(tables.clients(), i);
            host.writeLog(tr("delete expired client") + label);
            host.clientsChanged();
            continue;
        }
        ++i;
    }
}

void Heartbeat::sendRetryAlives()
{
    // The second ALIVE of a retry, to the servers still listed and still
    // unanswered.
    const auto pending = std::exchange(pendingAlives, {});
    for (const auto &[ip, port] : pending) {
        PEERINFO *server = tables.findServer(ip.constData(), port, nullptr);
        if (!server || !unansweredHeartbeats.contains(server))
            continue;
        sendAlive(ip.constData(), port, host.peerLabel(server));
    }
}

void Heartbeat::handleAlive(Message &m)
{
    controls.sendText("RE_ALIVE$" + self.nameBytes(), m.srcIp, m.srcPort);
    host.writeLog(tr("Get HeartBeat Command from ") + host.name(m.fields.text(1)));
    char peerName[40];
    text::copyName(peerName, m.fields.text(1));
    if (PEERINFO *client = tables.findClient(m.srcIp, m.srcPort, peerName))
        client->life = 0;
}

void Heartbeat::handleReAlive(Message &m)
{
    host.writeLog(tr("Get Respon HeartBeat Command from ") + host.name(m.fields.text(1)));
    if (PEERINFO *server = tables.findServer(m.srcIp, m.srcPort, nullptr)) {
        server->life = 0;
        unansweredHeartbeats.remove(server);
    }
}
