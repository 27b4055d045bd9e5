// Heartbeats: the timer job that sends ALIVE and expires silent or marked
// servers and clients, and the ALIVE and RE_ALIVE handlers.
#include <QTimer>
#include <cstring>
#include <utility>

#include "text/fixed_text.h"
#include "transport/message.h"
#include "unit/mudp_unit.h"

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

void MUDPUnit::heartbeatTick()
{
    ++heartbeatTicks;
    // Sends below process events: nested handlers may append entries or change
    // `life`, and only this job removes entries, so walking by position holds.
    if (!serverList.isEmpty()) {
        for (int i = 0; i < serverList.size();) {
            PEERINFO *server = serverList.at(i);
            --server->life;
            const QString label = peerLabel(server);
            char ip[16];
            std::memcpy(ip, server->ip, sizeof ip);
            ip[15] = '\0';
            const unsigned short port = server->port;
            if (server->life <= kExpiredLife) {
                unansweredHeartbeats.remove(server);
                serverList.takeAt(i);
                retire(server);
                writeLog(tr("delete expired server") + label);
                rebuildLiveUserByServer(ip, port, true);
                notifyListChanged(LIST_SERVER);
                Q_EMIT serverChanged(ip, port, true);
                continue;
            }
            // An entry whose last ALIVE went unanswered gets ALIVE on every
            // tick until a RE_ALIVE refreshes it or it expires.
            int alives = 0;
            if (heartbeatTicks > kTickCounterLimit)
                heartbeatTicks = 0;
            else if (heartbeatTicks >= kHeartbeatEvery)
                alives = unansweredHeartbeats.contains(server) ? kAlivesPerRetry : 1;
            else if (unansweredHeartbeats.contains(server))
                alives = kAlivesPerRetry;
            if (alives > 0) {
                unansweredHeartbeats.insert(server); // before the send: an answer may come in the log's events
                sendText("ALIVE$" + text::fieldBytes(localName), ip, port);
                writeLog(tr("Commit HeartBeat Command to ") + label);
            }
            if (alives > 1) {
                pendingAlives.append({QByteArray(ip), port});
                aliveRetryTimer->start(kRetrySpacingMs);
            }
            ++i;
        }
        if (heartbeatTicks >= kHeartbeatEvery)
            heartbeatTicks = 0;
    }
    if (!clientList.isEmpty()) {
        for (int i = 0; i < clientList.size();) {
            PEERINFO *client = clientList.at(i);
            --client->life;
            if (client->life <= kExpiredLife) {
                const QString label = peerLabel(client);
                clientList.takeAt(i);
                retire(client);
                writeLog(tr("delete expired client") + label);
                Q_EMIT clientChanged();
                notifyListChanged(LIST_CLIENT);
                continue;
            }
            ++i;
        }
    }
}

void MUDPUnit::sendRetryAlives()
{
    // The second ALIVE of a retry, to the servers still listed and still
    // unanswered.
    const auto pending = std::exchange(pendingAlives, {});
    for (const auto &[ip, port] : pending) {
        PEERINFO *server = findServer(ip.constData(), port, nullptr);
        if (!server || !unansweredHeartbeats.contains(server))
            continue;
        const QString label = peerLabel(server);
        sendText("ALIVE$" + text::fieldBytes(localName), ip.constData(), port);
        writeLog(tr("Commit HeartBeat Command to ") + label);
    }
}

void MUDPUnit::handleAlive(Message &m)
{
    sendText("RE_ALIVE$" + text::fieldBytes(localName), m.srcIp, m.srcPort);
    writeLog(tr("Get HeartBeat Command from ") + name(m.fields.text(1)));
    char peerName[40];
    text::copyName(peerName, m.fields.text(1));
    if (PEERINFO *client = findClient(m.srcIp, m.srcPort, peerName))
        client->life = 0;
}

void MUDPUnit::handleReAlive(Message &m)
{
    writeLog(tr("Get Respon HeartBeat Command from ") + name(m.fields.text(1)));
    if (PEERINFO *server = findServer(m.srcIp, m.srcPort, nullptr)) {
        server->life = 0;
        unansweredHeartbeats.remove(server);
    }
}
