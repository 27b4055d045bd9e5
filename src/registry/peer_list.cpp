// User lists: a server sends its client table to every client whenever it
// changes; a client merges each server's list into its live-user table.
#include <cstdlib>
#include <cstring>

#include "registry/peer_record.h"
#include "text/fixed_text.h"
#include "transport/message.h"
#include "unit/mudp_unit.h"

void MUDPUnit::sendNewListToClient()
{
    releaseListScratch();
    const QByteArray header = "PEERLIST$" + text::fieldBytes(localName) + "$0$0$0";
    const int n = clientList.size();
    peerListCount = n;
    if (n == 0)
        return;
    listScratch = static_cast<PEERINFO *>(std::malloc(sizeof(PEERINFO) * static_cast<size_t>(n)));
    if (!listScratch)
        return;
    for (int i = 0; i < n; ++i)
        std::memcpy(&listScratch[i], clientList.at(i), sizeof(PEERINFO));
    // The send processes events, which may replace listScratch: send a copy.
    const QByteArray records(reinterpret_cast<const char *>(listScratch),
                             static_cast<qsizetype>(sizeof(PEERINFO)) * n);
    sendBufferToClient(records.constData(), static_cast<int>(records.size()), "0.0.0.0", 0, header.constData());
}

void MUDPUnit::handlePeerList(Message &m)
{
    // Live users are where the host sends data and hole punches: only the
    // servers this unit registered with may name them.
    if (!findServer(m.srcIp, m.srcPort, nullptr)) {
        writeLog(tr("User list not from a server dropped:") + QString::fromLatin1(m.messageKey) + tr(" From:") +
                 sourceLabel(m));
        return;
    }
    // Shorter than its header, a list is no list: merging it as an empty one
    // would remove every user of that server.
    if (m.length < wire::kMessageHeaderSize) {
        writeLog(tr("Short user list dropped:") + QString::fromLatin1(m.messageKey) + tr(" From:") +
                 QString::fromLatin1(m.srcIp));
        return;
    }
    const int count = m.bodyLength() / static_cast<int>(sizeof(PEERINFO));
    mergePeerList(m.body(), count, m.srcIp, m.srcPort);
    acknowledge(m);
    Q_EMIT userListChanged();
    notifyListChanged(LIST_LIVEUSER);
    writeLog(QStringLiteral("Get Server User List"));
}

void MUDPUnit::mergePeerList(const char *records, int count, const char *serverIp, unsigned short serverPort)
{
    for (PEERINFO *p : liveUserList.all())
        if (text::fieldEquals(p->serverIp, sizeof p->serverIp, serverIp) && p->serverPort == serverPort)
            p->life = wire::kRemoveMark;
    for (int k = 0; k < count; ++k) {
        PEERINFO record;
        std::memcpy(&record, records + size_t(k) * sizeof record, sizeof record);
        terminatePeerTexts(record);
        if (text::fieldEquals(record.name, sizeof record.name, localName))
            continue;
        PEERINFO *entry = findLiveUser(record.ip, record.port, record.name, record.serverIp, record.serverPort);
        if (!entry) {
            entry = new PEERINFO(record);
            entry->access = 0;
            liveUserList.append(entry);
        }
        entry->life = 0;
    }
    for (int i = 0; i < liveUserList.size();) {
        PEERINFO *p = liveUserList.at(i);
        if (p->life == wire::kRemoveMark) {
            liveUserList.takeAt(i);
            delete p;
        } else {
            ++i;
        }
    }
}
