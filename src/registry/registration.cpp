#include "registry/registration.h"

#include <cstring>

#include "core/host_bridge.h"
#include "core/lifetime.h"
#include "io/event_wait.h"
#include "registry/heartbeat.h"
#include "registry/list_diff_merge.h"
#include "registry/list_diff_push.h"
#include "registry/list_merge.h"
#include "registry/peer_tables.h"
#include "text/fixed_text.h"
#include "transport/local_identity.h"
#include "transport/message.h"
#include "transport/path/path_table.h"
#include "transport/send/control_sender.h"
#include "transport/send/send_records.h"
#include "transport/send/writer.h"

namespace {
constexpr int kRegistrationChecks = 201; // of 10 ms each: about one timer period
constexpr int kFlushBeforeLeavingMs = 2000;
} // namespace

PEERINFO *Registration::newPeerRecord(const Message &m) const
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

void Registration::regToServer(const char *serverIp, unsigned short serverPort)
{
    Lifetime::Entry entry(p.life);
    char ip[16];
    text::copyText(ip, serverIp);
    if (PEERINFO *server = p.tables.findServer(ip, serverPort, nullptr)) {
        p.host.writeLog(tr("Peer exist") + p.host.peerName(server));
        return;
    }
    p.host.writeLog(tr("Commit Reg Command"));
    pendingRegistrations.sent(ip, serverPort);
    p.controls.sendText("REG$" + p.self.nameBytes(), ip, serverPort);
    for (int check = 1;; ++check) {
        io::waitWithEvents(10);
        if (p.tables.findServer(ip, serverPort, nullptr)) {
            p.host.writeLog(tr("Reg Sucess"));
            break;
        }
        if (check >= kRegistrationChecks) {
            p.host.writeLog(tr("Reg Failed"));
            break;
        }
    }
    p.heartbeat.restartCount();
}

void Registration::unRegFromServer(const char *serverIp, unsigned short serverPort)
{
    Lifetime::Entry entry(p.life);
    char ip[16];
    text::copyText(ip, serverIp);
    // What was sent before goes out first, for a bounded time.
    p.writer.flush(kFlushBeforeLeavingMs);
    p.host.writeLog(tr("Commit Unreg Command"));
    p.controls.sendText("UNREG$" + p.self.nameBytes(), ip, serverPort);
    for (int check = 1;; ++check) {
        io::waitWithEvents(10);
        PEERINFO *server = p.tables.findServer(ip, serverPort, nullptr);
        if (!server) {
            p.host.writeLog(tr("UnReg Sucess"));
            return;
        }
        if (check >= kRegistrationChecks) {
            p.host.writeLog(tr("UnReg Time out,delete peer self"));
            server->life = wire::kRemoveMark;
            return;
        }
    }
}

void Registration::handleReg(Message &m)
{
    char peerName[40];
    text::copyName(peerName, m.fields.text(1));
    const QString shown = p.host.name(m.fields.text(1));
    if (p.tables.findClient(nullptr, 0, peerName)) {
        p.controls.sendText("REGDUP$" + p.self.nameBytes(), m.srcIp, m.srcPort);
        p.host.writeLog(tr("Refuse peer regist,already exist peer ") + shown);
        return;
    }
    PEERINFO *client = newPeerRecord(m);
    std::memcpy(client->serverName, p.self.name, sizeof client->serverName);
    std::memcpy(client->serverIp, p.self.addr, sizeof client->serverIp);
    client->serverPort = p.self.boundPort;
    p.tables.clients().append(client);
    // A client whose datagrams carry our marks is one of our units.
    p.diffPush.noteRegistered(client, m.mark.kind != mark::None);
    p.controls.sendText("REGACC$" + p.self.nameBytes() + "$0$0$0$" + QByteArray(m.srcIp) + '$' +
                            QByteArray::number(m.srcPort),
                        m.srcIp, m.srcPort);
    p.host.writeLog(tr("Accept peer regist ") + shown + tr(" from ") + QString::fromLatin1(m.srcIp) +
                    QLatin1Char(':') + QString::number(m.srcPort));
    p.host.clientsChanged();
}

void Registration::handleUnreg(Message &m)
{
    char peerName[40];
    text::copyName(peerName, m.fields.text(1));
    const QString shown = p.host.name(m.fields.text(1));
    if (PEERINFO *client = p.tables.findClient(m.srcIp, m.srcPort, peerName)) {
        client->life = wire::kRemoveMark;
        p.controls.sendText("UNREGACC$" + p.self.nameBytes(), m.srcIp, m.srcPort);
        p.host.writeLog(tr("Accept peer unregist ") + shown);
        p.diffPush.clientsChanged(); // our units' lists lose it now, not at the next tick
    } else {
        p.controls.sendText("REGDUP$" + p.self.nameBytes(), m.srcIp, m.srcPort);
        p.host.writeLog(tr("Refuse peer unregist,already exist peer ") + shown);
    }
}

void Registration::handleRegAcc(Message &m)
{
    if (p.tables.findServer(m.srcIp, m.srcPort, nullptr))
        return;
    // Only a peer asked to register this unit may become its server and tell
    // it how it is seen from outside.
    const qint64 roundTripUs = pendingRegistrations.take(m.srcIp, m.srcPort);
    if (roundTripUs < 0) {
        p.host.writeLog(tr("Registration accept not asked for dropped:") + p.host.name(m.fields.text(1)) +
                        fromSource(m));
        return;
    }
    // The registration's round trip paces the first message to the server.
    if (PeerPath *path = p.paths.sendingPath(m.srcIp, m.srcPort); path && m.markProven)
        path->sending.rttHintUs = roundTripUs;
    PEERINFO *server = newPeerRecord(m);
    p.tables.servers().append(server);
    p.lists.forgetOrder(m.srcIp, m.srcPort);
    p.diffLists.forget(m.srcIp, m.srcPort);
    text::copyText(p.self.addrForPeer, m.fields.text(5));
    p.self.portForPeer = static_cast<unsigned short>(m.fields.number(6));
    char ip[16];
    std::memcpy(ip, server->ip, sizeof ip);
    const unsigned short port = server->port;
    p.host.serverChanged(ip, port, false);
    p.host.listChanged(LIST_SERVER);
    p.host.writeLog(tr("Peer regist accepted by ") + p.host.name(m.fields.text(1)));
}

void Registration::handleUnregAcc(Message &m)
{
    if (PEERINFO *server = p.tables.findServer(m.srcIp, m.srcPort, nullptr)) {
        server->life = wire::kRemoveMark;
        p.host.writeLog(tr("Unregist peer accepted by ") + p.host.name(m.fields.text(1)));
    } else {
        p.host.writeLog(tr("Maybe Unregist self or no Respon"));
    }
}

void Registration::handleRegDup(Message &) { p.host.writeLog(tr("Refused by Host ,user exist")); }

void Registration::handleUnknown(Message &m)
{
    p.sends.markDone(m.fields.number(2), m.fields.number(3), m.srcIp, m.srcPort);
    p.host.writeLog(tr("Host Can't Use Protocal Word:") + QString::fromLatin1(m.fields.text(0)) + fromLabel(m.srcIp));
}
