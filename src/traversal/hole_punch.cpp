#include "traversal/hole_punch.h"

#include <cstring>

#include "core/host_bridge.h"
#include "core/lifetime.h"
#include "io/event_wait.h"
#include "registry/peer_tables.h"
#include "text/fixed_text.h"
#include "transport/local_identity.h"
#include "transport/message.h"
#include "transport/send/control_sender.h"

namespace {

constexpr int kCycleWait = 100; // ms, twice per cycle
constexpr int kLastCycle = 20;  // cycles 0..20: 21 in all
constexpr int kAreaSize = wire::kMessageHeaderSize;

} // namespace

void HolePunch::sendCycle(const Target &t)
{
    const QByteArray &ownName = t.ownName, &tail = t.tail;
    const char *peerIp = t.peerIp, *viaIp = t.viaIp;
    const unsigned short port = t.port, serverPort = t.serverPort;
    char areas[2 * kAreaSize] = {};
    const QByteArray transHole = "TRANSHOLE$" + ownName + "$0$0$0$" + QByteArray(peerIp) + '$' + QByteArray::number(port);
    const QByteArray holeReq = "HOLEREQ$" + ownName + tail;
    std::memcpy(areas, transHole.constData(), qMin<size_t>(transHole.size(), kAreaSize - 1));
    std::memcpy(areas + kAreaSize, holeReq.constData(), qMin<size_t>(holeReq.size(), kAreaSize - 1));
    controls.send(areas, viaIp, serverPort, 2 * kAreaSize);
    io::waitWithEvents(kCycleWait);
    controls.sendText("HOLEREG$" + ownName + tail, peerIp, port);
    io::waitWithEvents(kCycleWait);
}

bool HolePunch::toLiveUser(const char *ip, unsigned short port, const char *name, const char *serverIp,
                           unsigned short serverPort)
{
    Lifetime::Entry entry(life);
    // Private copies: the waits below run handlers that may change the tables
    // and, through the host, the caller's texts.
    char peerIp[16], peerName[40], viaIp[16];
    text::copyText(peerIp, ip);
    text::copyName(peerName, name);
    text::copyText(viaIp, serverIp);
    const PEERINFO *record = tables.findLiveUser(peerIp, port, peerName, viaIp, serverPort);
    if (!record)
        return false;
    const QString target = host.peerLabel(record);
    const Target cycleTarget{peerIp, port, viaIp, serverPort, self.nameBytes(),
                             "$0$0$0$" + text::fieldBytes(self.addrForPeer) + '$' +
                                 QByteArray::number(self.portForPeer)};
    for (int cycle = 0;; ++cycle) {
        sendCycle(cycleTarget);
        // A user list handled during the waits may have removed the record:
        // look it up again, and end the attempt when it is gone.
        record = tables.findLiveUser(peerIp, port, peerName, viaIp, serverPort);
        if (record && record->access == 1) {
            host.writeLog(tr("Hole Sucess To ") + target);
            return true;
        }
        if (!record || cycle >= kLastCycle) {
            host.writeLog(tr("Hole Failed To") + target);
            return false;
        }
    }
}

void HolePunch::handleTransHole(Message &m)
{
    // Positions 5 and 6 name the target; without both, or with a port that
    // is no port, there is nobody to forward to.
    unsigned short port = 0;
    const bool hasTarget = m.fields.has(5) && m.fields.port(6, &port) && port != 0;
    // Hole requests pass only between this server's own clients.
    if (!tables.findClient(m.srcIp, m.srcPort, nullptr) ||
        (hasTarget && !tables.findClient(m.fields.text(5), port, nullptr))) {
        host.writeLog(tr("Packet Transfer Hole Request Refused, not between clients:") +
                      QString::fromLatin1(m.messageKey) + fromSource(m));
        return;
    }
    if (hasTarget) {
        const QByteArray embedded(m.body(), static_cast<qsizetype>(strnlen(m.body(), size_t(m.bodyLength()))));
        if (!embedded.isEmpty())
            controls.sendText(embedded, m.fields.text(5), port);
    }
    host.writeLog(tr("Packet Transfer Hole Request Received:") + QString::fromLatin1(m.messageKey) +
                  fromLabel(m.srcIp));
}

void HolePunch::handleHoleReq(Message &m)
{
    // A server of this unit forwards hole requests; from anyone else this
    // would send the hole test wherever they name.
    if (!tables.findServer(m.srcIp, m.srcPort, nullptr)) {
        host.writeLog(tr("Hole request not from a server ignored:") + sourceLabel(m));
        return;
    }
    unsigned short port = 0;
    if (!m.fields.has(5) || !m.fields.port(6, &port) || port == 0)
        return;
    char ip[16];
    text::copyText(ip, m.fields.text(5));
    controls.sendText("NOLVHOLE", ip, port);
    host.writeLog(tr("Hole to:") + endpointLabel(ip, port));
}

void HolePunch::handleHoleReg(Message &m)
{
    controls.sendText("HOLEACC$" + self.nameBytes() + "$0$0$0$" + text::fieldBytes(self.addrForPeer) + '$' +
                          QByteArray::number(self.portForPeer),
                      m.srcIp, m.srcPort);
    const QString from = sourceLabel(m);
    if (PEERINFO *peer = tables.findLiveUser(m.srcIp, m.srcPort, nullptr, nullptr, 0)) {
        peer->access = 1;
        host.writeLog(tr("This client now access allowed:") + from);
    }
    host.writeLog(tr("Receive Hole confirm request from:") + from);
}

void HolePunch::handleHoleAcc(Message &m)
{
    PEERINFO *peer = tables.findLiveUser(m.srcIp, m.srcPort, nullptr, nullptr, 0);
    if (!peer)
        return;
    peer->access = 1;
    host.writeLog(tr("Hole confirm from:") + sourceLabel(m));
}

void HolePunch::handleHoleTest(Message &m) { host.writeLog(tr("Get hole test from:") + sourceLabel(m)); }
