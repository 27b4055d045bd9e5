// Hole punching: the initiator's cycles of TRANSHOLE to the server and HOLEREG
// to the peer, and the handlers on the server, target and initiator sides.
#include <cstring>

#include "text/fixed_text.h"
#include "transport/message.h"
#include "unit/mudp_unit.h"

namespace {

constexpr int kCycleWait = 100;  // ms, twice per cycle
constexpr int kLastCycle = 20;   // cycles 0..20: 21 in all
constexpr int kAreaSize = wire::kMessageHeaderSize;

} // namespace

bool MUDPUnit::holeToLiveUser(const char *ip, unsigned short port, const char *name, const char *serverIp,
                              unsigned short serverPort)
{
    EntryGuard guard(*this);
    // Private copies: the waits below run handlers that may change the tables
    // and, through the host, the caller's texts.
    char peerIp[16], peerName[40], viaIp[16];
    text::copyText(peerIp, ip);
    text::copyName(peerName, name);
    text::copyText(viaIp, serverIp);
    const PEERINFO *record = findLiveUser(peerIp, port, peerName, viaIp, serverPort);
    if (!record)
        return false;
    const QString target = peerLabel(record);

    const QByteArray tail = "$0$0$0$" + text::fieldBytes(addrForPeer) + '$' + QByteArray::number(portForPeer);
    const QByteArray ownName = text::fieldBytes(localName);
    for (int cycle = 0;; ++cycle) {
        char areas[2 * kAreaSize] = {};
        const QByteArray transHole =
            "TRANSHOLE$" + ownName + "$0$0$0$" + QByteArray(peerIp) + '$' + QByteArray::number(port);
        const QByteArray holeReq = "HOLEREQ$" + ownName + tail;
        std::memcpy(areas, transHole.constData(), qMin<size_t>(transHole.size(), kAreaSize - 1));
        std::memcpy(areas + kAreaSize, holeReq.constData(), qMin<size_t>(holeReq.size(), kAreaSize - 1));
        sendProtocol(areas, viaIp, serverPort, 2 * kAreaSize);
        waitWithEvents(kCycleWait);
        sendText("HOLEREG$" + ownName + tail, peerIp, port);
        waitWithEvents(kCycleWait);

        // A user list handled during the waits may have removed the record:
        // look it up again, and end the attempt when it is gone.
        record = findLiveUser(peerIp, port, peerName, viaIp, serverPort);
        if (record && record->access == 1) {
            writeLog(tr("Hole Sucess To ") + target);
            return true;
        }
        if (!record || cycle >= kLastCycle) {
            writeLog(tr("Hole Failed To") + target);
            return false;
        }
    }
}

void MUDPUnit::handleTransHole(Message &m)
{
    // Positions 5 and 6 name the target; without both, or with a port that
    // is no port, there is nobody to forward to.
    unsigned short port = 0;
    const bool hasTarget = m.fields.has(5) && m.fields.port(6, &port) && port != 0;
    // Hole requests pass only between this server's own clients.
    if (!findClient(m.srcIp, m.srcPort, nullptr) || (hasTarget && !findClient(m.fields.text(5), port, nullptr))) {
        writeLog(tr("Packet Transfer Hole Request Refused, not between clients:") +
                 QString::fromLatin1(m.messageKey) + fromSource(m));
        return;
    }
    if (hasTarget) {
        const QByteArray embedded(m.body(), static_cast<qsizetype>(strnlen(m.body(), size_t(m.bodyLength()))));
        if (!embedded.isEmpty())
            sendText(embedded, m.fields.text(5), port);
    }
    writeLog(tr("Packet Transfer Hole Request Received:") + QString::fromLatin1(m.messageKey) + fromLabel(m.srcIp));
}

void MUDPUnit::handleHoleReq(Message &m)
{
    // A server of this unit forwards hole requests; from anyone else this
    // would send the hole test wherever they name.
    if (!findServer(m.srcIp, m.srcPort, nullptr)) {
        writeLog(tr("Hole request not from a server ignored:") + sourceLabel(m));
        return;
    }
    unsigned short port = 0;
    if (!m.fields.has(5) || !m.fields.port(6, &port) || port == 0)
        return;
    char ip[16];
    text::copyText(ip, m.fields.text(5));
    sendText("NOLVHOLE", ip, port);
    writeLog(tr("Hole to:") + endpointLabel(ip, port));
}

void MUDPUnit::handleHoleReg(Message &m)
{
    sendText("HOLEACC$" + text::fieldBytes(localName) + "$0$0$0$" + text::fieldBytes(addrForPeer) + '$' +
                 QByteArray::number(portForPeer),
             m.srcIp, m.srcPort);
    const QString from = sourceLabel(m);
    if (PEERINFO *peer = findLiveUser(m.srcIp, m.srcPort, nullptr, nullptr, 0)) {
        peer->access = 1;
        writeLog(tr("This client now access allowed:") + from);
    }
    writeLog(tr("Receive Hole confirm request from:") + from);
}

void MUDPUnit::handleHoleAcc(Message &m)
{
    PEERINFO *peer = findLiveUser(m.srcIp, m.srcPort, nullptr, nullptr, 0);
    if (!peer)
        return;
    peer->access = 1;
    writeLog(tr("Hole confirm from:") + sourceLabel(m));
}

void MUDPUnit::handleHoleTest(Message &m)
{
    writeLog(tr("Get hole test from:") + sourceLabel(m));
}
