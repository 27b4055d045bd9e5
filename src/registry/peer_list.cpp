// User lists: a server sends its client table to every client whenever it
// changes; a client merges each server's list into its live-user table.
#include <cstdlib>
#include <cstring>
#include <utility>

#include "registry/peer_record.h"
#include "transport/buffers.h"
#include "text/fixed_text.h"
#include "transport/message.h"
#include "unit/mudp_unit.h"

namespace {
// Pushes whose unacknowledged sends a new push retires: enough to cover the
// records that six resends keep alive during a burst of changes.
constexpr int kRecentLists = 8;

// Identities in the order they were given: date, then time of day.
// (A multiplication: a forged negative date must not be shifted.)
qint64 orderOf(int32_t date, int32_t time) { return qint64(date) * (qint64(1) << 32) + quint32(time); }

QByteArray sourceKey(const char *ip, unsigned short port)
{
    return QByteArray(ip, int(qstrnlen(ip, 16))) + ':' + QByteArray::number(port);
}

bool isUserList(const NOLVUDPBUFFER *record)
{
    const NOLVUDPPACKET *first = record->total > 1 ? packetSlot(record, 0) : nullptr;
    return first && std::memcmp(first->data, "PEERLIST$", 9) == 0;
}
} // namespace

void MUDPUnit::noteListRecord(NOLVUDPBUFFER *record)
{
    // A list replaces the whole of an older one: once a newer list from the
    // same source is known, the older one's missing packets are not asked
    // for (during a burst of pushes they were most of a server's traffic).
    if (!isUserList(record))
        return;
    const qint64 identity = orderOf(record->date, record->time);
    const auto merged = newestListFrom.constFind(sourceKey(record->ip, record->port));
    if (merged != newestListFrom.cend() && identity < *merged)
        record->superseded = true;
    for (NOLVUDPBUFFER *other : recvBuffers.all()) {
        if (other == record || other->port != record->port || std::strncmp(other->ip, record->ip, 16) != 0 ||
            !isUserList(other))
            continue;
        if (orderOf(other->date, other->time) < identity)
            other->superseded = true;
        else
            record->superseded = true;
    }
}

void MUDPUnit::forgetListOrder(const char *ip, unsigned short port)
{
    // A new registration starts the order of a server's lists afresh (it may
    // have restarted with its clock set back).
    newestListFrom.remove(sourceKey(ip, port));
}

void MUDPUnit::supersedeListsBefore(const char *ip, unsigned short port, qint64 identity)
{
    for (NOLVUDPBUFFER *other : recvBuffers.all())
        if (other->port == port && std::strncmp(other->ip, ip, 16) == 0 && isUserList(other) &&
            orderOf(other->date, other->time) < identity)
            other->superseded = true;
}

void MUDPUnit::sendNewListToClient()
{
    // A change during a push (a registration or expiry handled inside its
    // waits) starts no walk of its own: the running push is followed by one
    // more with the list as it is then, which every change meanwhile joins.
    // Nested walks would finish first and let the outer one deliver its
    // older list last.
    if (pushRunning) {
        pushPending = true;
        return;
    }
    pushRunning = true;
    const quint64 firstRound = waitRounds();
    do {
        pushPending = false;
        pushListOnce();
    } while (pushPending);
    pushStats.rounds += qint64(waitRounds() - firstRound);
    pushRunning = false;
}

void MUDPUnit::pushListOnce()
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
    ++pushStats.pushes;
    retireSupersededLists();
    // The send processes events, which may replace listScratch: send a copy.
    const QByteArray records(reinterpret_cast<const char *>(listScratch),
                             static_cast<qsizetype>(sizeof(PEERINFO)) * n);
    const MessageKey sent = sendBufferToList(clientList, records.constData(), static_cast<int>(records.size()),
                                             "0.0.0.0", 0, header.constData());
    if (sent.date != 0 || sent.time != 0)
        recentLists.append(sent);
    while (recentLists.size() > kRecentLists)
        recentLists.removeFirst();
}

void MUDPUnit::retireSupersededLists()
{
    // A client about to get the new list needs none of the older ones: their
    // resends would cost rounds during a burst, be given up after six, and a
    // late one completed would leave the client with an old list.
    for (const MessageKey &list : std::as_const(recentLists))
        for (const PEERINFO *client : clientList.all())
            if (SENDRECORD *record = findSendRecord(list.date, list.time, client->ip, client->port))
                record->retries = wire::kRemoveMark;
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
    // An older list completed after a newer one was merged (its packets
    // were asked for late) would bring back what the newer one removed: it
    // is acknowledged, so that the server stops resending it, and dropped.
    const qint64 identity = orderOf(m.record->date, m.record->time);
    const QByteArray source = sourceKey(m.srcIp, m.srcPort);
    if (const auto merged = newestListFrom.constFind(source); merged != newestListFrom.cend() && identity < *merged) {
        acknowledge(m);
        writeLog(tr("Older user list dropped:") + QString::fromLatin1(m.messageKey) + tr(" From:") + sourceLabel(m));
        return;
    }
    newestListFrom.insert(source, identity);
    supersedeListsBefore(m.srcIp, m.srcPort, identity);
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
