#include "traversal/relay.h"

#include <cstring>

#include "core/host_bridge.h"
#include "core/lifetime.h"
#include "registry/peer_sending.h"
#include "registry/peer_tables.h"
#include "text/fixed_text.h"
#include "transport/local_identity.h"
#include "transport/message.h"
#include "transport/receive/reassembly.h"
#include "traversal/hole_punch.h"

void Relay::sendToLiveUser(const char *data, int size, const char *ip, unsigned short port, const char *name,
                           const char *serverIp, unsigned short serverPort)
{
    Lifetime::Entry entry(life);
    char peerIp[16], peerName[40], viaIp[16];
    text::copyText(peerIp, ip);
    text::copyName(peerName, name);
    text::copyText(viaIp, serverIp);
    const QByteArray transHead = "TRANS$" + self.nameBytes() + "$0$0$0$";
    if (std::strcmp(peerIp, "0.0.0.0") == 0) {
        sending.toServer(data, size, "0.0.0.0", serverPort, (transHead + "0.0.0.0$0").constData());
        return;
    }
    const PEERINFO *record = tables.findLiveUser(peerIp, port, peerName, viaIp, serverPort);
    if (!record)
        return;
    if (record->access != 0) {
        sending.toClient(data, size, peerIp, port, nullptr);
        return;
    }
    const QString target = host.peerLabel(record);
    if (holes.toLiveUser(peerIp, port, peerName, viaIp, serverPort)) {
        sending.toClient(data, size, peerIp, port, nullptr);
        return;
    }
    const QByteArray header = transHead + QByteArray(peerIp) + '$' + QByteArray::number(port);
    sending.toServer(data, size, viaIp, serverPort, header.constData());
    host.writeLog(tr("Send data via server to ") + target);
}

void Relay::handleTrans(Message &m)
{
    unsigned short port = 0;
    const bool everyone = std::strcmp(m.fields.text(5), "0.0.0.0") == 0;
    const bool hasTarget = m.fields.has(5) && m.fields.port(6, &port) && (port != 0 || everyone);
    // A server relays between its own clients only: anyone else could have it
    // send datagrams of their choosing to any address, from its own.
    if (!tables.findClient(m.srcIp, m.srcPort, nullptr) ||
        (hasTarget && !everyone && !tables.findClient(m.fields.text(5), port, nullptr))) {
        host.writeLog(tr("Packet Transfer Data Refused, not between clients:") + QString::fromLatin1(m.messageKey) +
                      fromSource(m));
        return;
    }
    // Without a destination (positions 5 and 6, port 0 only for everyone at
    // "0.0.0.0"), or shorter than its header and so without a block, there is
    // nothing to relay. Refusals are not acknowledged, so the sender's
    // transport reports the failure.
    if (m.length < wire::kMessageHeaderSize || !hasTarget) {
        host.writeLog(tr("Packet Transfer Data Refused:") + QString::fromLatin1(m.messageKey) + fromLabel(m.srcIp));
        return;
    }
    char dest[16];
    text::copyText(dest, m.fields.text(5));
    sending.toClient(m.body(), m.bodyLength(), dest, port, nullptr);
    reassembly.acknowledge(m);
    host.writeLog(tr("Packet Transfer Data Received:") + QString::fromLatin1(m.messageKey) + fromLabel(m.srcIp));
}
