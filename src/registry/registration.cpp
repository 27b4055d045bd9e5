// Registration: regToServer and unRegFromServer on the client side, and the
// REG, UNREG, REGACC, UNREGACC, REGDUP and UNKOWN handlers.
#include <cstring>

#include "platform/clock.h"
#include "text/fixed_text.h"
#include "transport/message.h"
#include "unit/mudp_unit.h"

namespace {
constexpr int kRegistrationChecks = 201; // of 10 ms each: about one timer period
constexpr int kFlushBeforeLeavingMs = 2000;
}

PEERINFO *MUDPUnit::newPeerRecord(const Message &m) const
{
    auto *peer = new PEERINFO();
    std::memset(peer, 0, sizeof *peer);
    text::copyName(peer->name, m.fields.text(1));
    std::memcpy(peer->ip, m.srcIp, sizeof peer->ip);
    peer->port = m.srcPort;
    text::copyText(peer->localIp, sizeof peer->localIp, m.packet->localIp);
    peer->localPort = m.packet->localPort;
    peer->access = 1;
    peer->life = 0;
    return peer;
}

void MUDPUnit::regToServer(const char *serverIp, unsigned short serverPort)
{
    EntryGuard guard(*this);
    char ip[16];
    text::copyText(ip, serverIp);
    if (PEERINFO *server = findServer(ip, serverPort, nullptr)) {
        writeLog(tr("Peer exist") + peerName(server));
        return;
    }
    writeLog(tr("Commit Reg Command"));
    pendingRegistrations.sent(ip, serverPort);
    sendText("REG$" + text::fieldBytes(localName), ip, serverPort);
    for (int check = 1;; ++check) {
        waitWithEvents(10);
        if (findServer(ip, serverPort, nullptr)) {
            writeLog(tr("Reg Sucess"));
            break;
        }
        if (check >= kRegistrationChecks) {
            writeLog(tr("Reg Failed"));
            break;
        }
    }
    heartbeatTicks = 0;
}

void MUDPUnit::unRegFromServer(const char *serverIp, unsigned short serverPort)
{
    EntryGuard guard(*this);
    char ip[16];
    text::copyText(ip, serverIp);
    // What was sent before goes out first, for a bounded time.
    flushQueuedWrites(kFlushBeforeLeavingMs);
    writeLog(tr("Commit Unreg Command"));
    sendText("UNREG$" + text::fieldBytes(localName), ip, serverPort);
    for (int check = 1;; ++check) {
        waitWithEvents(10);
        PEERINFO *server = findServer(ip, serverPort, nullptr);
        if (!server) {
            writeLog(tr("UnReg Sucess"));
            return;
        }
        if (check >= kRegistrationChecks) {
            writeLog(tr("UnReg Time out,delete peer self"));
            server->life = wire::kRemoveMark;
            return;
        }
    }
}

void MUDPUnit::handleReg(Message &m)
{
    char peerName[40];
    text::copyName(peerName, m.fields.text(1));
    const QString shown = name(m.fields.text(1));
    if (findClient(nullptr, 0, peerName)) {
        sendText("REGDUP$" + text::fieldBytes(localName), m.srcIp, m.srcPort);
        writeLog(tr("Refuse peer regist,already exist peer ") + shown);
        return;
    }
    PEERINFO *client = newPeerRecord(m);
    std::memcpy(client->serverName, localName, sizeof client->serverName);
    std::memcpy(client->serverIp, localAddr, sizeof client->serverIp);
    client->serverPort = boundPort;
    clientList.append(client);
    sendText("REGACC$" + text::fieldBytes(localName) + "$0$0$0$" + QByteArray(m.srcIp) + '$' +
                 QByteArray::number(m.srcPort),
             m.srcIp, m.srcPort);
    writeLog(tr("Accept peer regist ") + shown + tr(" from ") + QString::fromLatin1(m.srcIp) + QLatin1Char(':') +
             QString::number(m.srcPort));
    Q_EMIT clientChanged();
    notifyListChanged(LIST_CLIENT);
}

void MUDPUnit::handleUnreg(Message &m)
{
    char peerName[40];
    text::copyName(peerName, m.fields.text(1));
    const QString shown = name(m.fields.text(1));
    if (PEERINFO *client = findClient(m.srcIp, m.srcPort, peerName)) {
        client->life = wire::kRemoveMark;
        sendText("UNREGACC$" + text::fieldBytes(localName), m.srcIp, m.srcPort);
        writeLog(tr("Accept peer unregist ") + shown);
    } else {
        sendText("REGDUP$" + text::fieldBytes(localName), m.srcIp, m.srcPort);
        writeLog(tr("Refuse peer unregist,already exist peer ") + shown);
    }
}

void MUDPUnit::handleRegAcc(Message &m)
{
    if (findServer(m.srcIp, m.srcPort, nullptr))
        return;
    // Only a peer asked to register this unit may become its server and tell
    // it how it is seen from outside.
    const qint64 roundTripUs = pendingRegistrations.take(m.srcIp, m.srcPort);
    if (roundTripUs < 0) {
        writeLog(tr("Registration accept not asked for dropped:") + name(m.fields.text(1)) + fromSource(m));
        return;
    }
    // The registration's round trip paces the first message to the server.
    if (PeerPath *path = sendingPath(m.srcIp, m.srcPort); path && m.markProven)
        path->rttHintUs = roundTripUs;
    PEERINFO *server = newPeerRecord(m);
    serverList.append(server);
    forgetListOrder(m.srcIp, m.srcPort);
    text::copyText(addrForPeer, m.fields.text(5));
    portForPeer = static_cast<unsigned short>(m.fields.number(6));
    char ip[16];
    std::memcpy(ip, server->ip, sizeof ip);
    const unsigned short port = server->port;
    Q_EMIT serverChanged(ip, port, false);
    notifyListChanged(LIST_SERVER);
    writeLog(tr("Peer regist accepted by ") + name(m.fields.text(1)));
}

void MUDPUnit::handleUnregAcc(Message &m)
{
    if (PEERINFO *server = findServer(m.srcIp, m.srcPort, nullptr)) {
        server->life = wire::kRemoveMark;
        writeLog(tr("Unregist peer accepted by ") + name(m.fields.text(1)));
    } else {
        writeLog(tr("Maybe Unregist self or no Respon"));
    }
}

void MUDPUnit::handleRegDup(Message &)
{
    writeLog(tr("Refused by Host ,user exist"));
}

void MUDPUnit::handleUnknown(Message &m)
{
    markSendRecordDone(m);
    writeLog(tr("Host Can't Use Protocal Word:") + QString::fromLatin1(m.fields.text(0)) + fromLabel(m.srcIp));
}
