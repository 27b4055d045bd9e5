#include "registry/list_merge.h"

#include <cstring>

#include "core/host_bridge.h"
#include "registry/peer_record.h"
#include "registry/peer_tables.h"
#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/endpoint.h"
#include "transport/local_identity.h"
#include "transport/message.h"
#include "transport/receive/incoming_records.h"
#include "transport/receive/reassembly.h"

namespace {
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

void ListMerge::noteFirstPacket(NOLVUDPBUFFER *record)
{
    // A list replaces the whole of an older one: once a newer list from the
    // same source is known, the older one's missing packets are not asked
    // for (during a burst of pushes they were most of a server's traffic).
    // Only a server's lists are merged, so only theirs are ordered.
    if (!isUserList(record) || !tables.findServer(record->ip, record->port, nullptr))
        return;
    ListsFrom &lists = listsFrom[transport::endpointKey(record->ip, record->port)];
    const qint64 identity = msOf(record->date, record->time);
    if (lists.merged && before(identity, lists.newestMerged))
        record->superseded = true;
    for (int k = 0; k < lists.incomplete.size();) {
        const MessageKey &key = lists.incomplete.at(k);
        NOLVUDPBUFFER *other = incoming.find(key.ip, key.date, key.time, key.port);
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

void ListMerge::forgetOrder(const char *ip, unsigned short port)
{
    // It may have restarted with its clock set back.
    listsFrom.remove(transport::endpointKey(ip, port));
}

void ListMerge::handlePeerList(Message &m)
{
    // Live users are where the host sends data and hole punches: only the
    // servers this unit registered with may name them.
    if (!tables.findServer(m.srcIp, m.srcPort, nullptr)) {
        host.writeLog(tr("User list not from a server dropped:") + QString::fromLatin1(m.messageKey) + fromSource(m));
        return;
    }
    // Shorter than its header, a list is no list: merging it as an empty one
    // would remove every user of that server.
    if (m.length < wire::kMessageHeaderSize) {
        host.writeLog(tr("Short user list dropped:") + QString::fromLatin1(m.messageKey) + fromLabel(m.srcIp));
        return;
    }
    // An older list completed after a newer one was merged (its packets
    // were asked for late) would bring back what the newer one removed: it
    // is acknowledged, so that the server stops resending it, and dropped.
    const qint64 identity = msOf(m.record->date, m.record->time);
    ListsFrom &lists = listsFrom[transport::endpointKey(m.srcIp, m.srcPort)];
    if (lists.merged && before(identity, lists.newestMerged)) {
        reassembly.acknowledge(m);
        host.writeLog(tr("Older user list dropped:") + QString::fromLatin1(m.messageKey) + fromSource(m));
        return;
    }
    lists.merged = true;
    lists.newestMerged = identity;
    for (const MessageKey &key : std::as_const(lists.incomplete))
        if (NOLVUDPBUFFER *other = incoming.find(key.ip, key.date, key.time, key.port);
            other && before(msOf(other->date, other->time), identity))
            other->superseded = true;
    const int count = m.bodyLength() / static_cast<int>(sizeof(PEERINFO));
    merge(m.body(), count, m.srcIp, m.srcPort);
    reassembly.acknowledge(m);
    host.liveUsersChanged();
    host.writeLog(QStringLiteral("Get Server User List"));
}

void ListMerge::merge(const char *records, int count, const char *serverIp, unsigned short serverPort)
{
    PeerTable &users = tables.liveUsers();
    for (PEERINFO *p : users.all())
        if (text::fieldEquals(p->serverIp, sizeof p->serverIp, serverIp) && p->serverPort == serverPort)
            p->life = wire::kRemoveMark;
    for (int k = 0; k < count; ++k) {
        PEERINFO record;
        std::memcpy(&record, records + size_t(k) * sizeof record, sizeof record);
        terminatePeerTexts(record);
        if (text::fieldEquals(record.name, sizeof record.name, self.name))
            continue;
        PEERINFO *entry =
            tables.findLiveUser(record.ip, record.port, record.name, record.serverIp, record.serverPort);
        if (!entry) {
            entry = new PEERINFO(record);
            entry->access = 0;
            users.append(entry);
        }
        entry->life = 0;
    }
    for (int i = 0; i < users.size();) {
        if (users.at(i)->life == wire::kRemoveMark)
            tables.remove(users, i);
        else
            ++i;
    }
}
