// User lists: a server sends its client table to every client whenever it
// changes; a client merges each server's list into its live-user table.
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "registry/peer_record.h"
#include "transport/buffers.h"
#include "transport/endpoint.h"
#include "text/fixed_text.h"
#include "transport/message.h"
#include "unit/mudp_unit.h"

namespace {
// Pushes whose unacknowledged sends a new push retires: enough to cover the
// records that six resends keep alive during a burst of changes.
constexpr int kRecentLists = 8;
// Incomplete lists of one server whose order is tracked.
constexpr int kTrackedLists = 16;
// A server stamps its lists with its local time, which steps back at the end
// of daylight saving time and on a clock correction: a list older by more
// than this than one already known starts a new order instead of being older.
constexpr qint64 kClockStepBackMs = 60000;

// An identity as milliseconds: the Julian day, then the time of day.
qint64 msOf(int32_t date, int32_t time) { return qint64(date) * 86400000 + qint64(time); }

// Whether a list stamped `identity` comes before one stamped `other`.
bool before(qint64 identity, qint64 other) { return identity < other && other - identity <= kClockStepBackMs; }

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
    // Only a server's lists are merged, so only theirs are ordered.
    if (!isUserList(record) || !findServer(record->ip, record->port, nullptr))
        return;
    ListsFrom &lists = listsFrom[transport::endpointKey(record->ip, record->port)];
    const qint64 identity = msOf(record->date, record->time);
    if (lists.merged && before(identity, lists.newestMerged))
        record->superseded = true;
    for (int k = 0; k < lists.incomplete.size();) {
        const MessageKey &key = lists.incomplete.at(k);
        NOLVUDPBUFFER *other = findRecvBuffer(key.ip, key.date, key.time, key.port);
        if (!other || other->count == other->total) {
            lists.incomplete.removeAt(k);
            continue;
        }
        if (before(msOf(other->date, other->time), identity))
            other->superseded = true;
        else if (before(identity, msOf(other->date, other->time)))
            record->superseded = true;
        ++k;
    }
    lists.incomplete.append(recvBufferKey(record));
    while (lists.incomplete.size() > kTrackedLists)
        lists.incomplete.removeFirst();
}

void MUDPUnit::forgetListOrder(const char *ip, unsigned short port)
{
    // A new registration starts the order of a server's lists afresh (it may
    // have restarted with its clock set back).
    listsFrom.remove(transport::endpointKey(ip, port));
}

void MUDPUnit::sendNewListToClient()
{
    EntryGuard guard(*this);
    // A change while a push is still being written (registrations and
    // expiries during it) starts no push of its own: once the push has been
    // written to every client, one more follows with the list as it is then,
    // which every change meanwhile joins. Each client so gets the lists in
    // the order of the changes, and a burst of N registrations costs a few
    // pushes instead of N.
    if (pushRunning || pushBeingWritten()) {
        pushPending = true;
        return;
    }
    pushRunning = true;
    pushPending = false;
    pushListOnce();
    pushRunning = false;
}

bool MUDPUnit::pushBeingWritten() const
{
    if (currentPush.date == 0 && currentPush.time == 0)
        return false;
    for (const PEERINFO *client : clientList.all())
        if (const SENDRECORD *record = findSendRecord(currentPush.date, currentPush.time, client->ip, client->port);
            record && record->writing)
            return true;
    return false;
}

void MUDPUnit::notePushWritten(const SENDRECORD *record)
{
    // The push that changes waited for has gone to one more client: when it
    // has gone to all, the next one starts (from the event loop, not from
    // inside the writer).
    if (!pushPending || record->date != currentPush.date || record->time != currentPush.time)
        return;
    QTimer::singleShot(0, this, [this] {
        EntryGuard guard(*this);
        if (pushPending && !pushBeingWritten())
            sendNewListToClient();
    });
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
    currentPush = MessageKey();
    const MessageKey sent = sendBufferToList(clientList, records.constData(), static_cast<int>(records.size()),
                                             "0.0.0.0", 0, header.constData());
    currentPush = sent;
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
        writeLog(tr("User list not from a server dropped:") + QString::fromLatin1(m.messageKey) + fromSource(m));
        return;
    }
    // Shorter than its header, a list is no list: merging it as an empty one
    // would remove every user of that server.
    if (m.length < wire::kMessageHeaderSize) {
        writeLog(tr("Short user list dropped:") + QString::fromLatin1(m.messageKey) + fromLabel(m.srcIp));
        return;
    }
    // An older list completed after a newer one was merged (its packets
    // were asked for late) would bring back what the newer one removed: it
    // is acknowledged, so that the server stops resending it, and dropped.
    const qint64 identity = msOf(m.record->date, m.record->time);
    ListsFrom &lists = listsFrom[transport::endpointKey(m.srcIp, m.srcPort)];
    if (lists.merged && before(identity, lists.newestMerged)) {
        acknowledge(m);
        writeLog(tr("Older user list dropped:") + QString::fromLatin1(m.messageKey) + fromSource(m));
        return;
    }
    lists.merged = true;
    lists.newestMerged = identity;
    for (const MessageKey &key : std::as_const(lists.incomplete))
        if (NOLVUDPBUFFER *other = findRecvBuffer(key.ip, key.date, key.time, key.port);
            other && before(msOf(other->date, other->time), identity))
            other->superseded = true;
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
            retire(p);
        } else {
            ++i;
        }
    }
}
