#include "registry/list_push.h"

#include <QTimer>

#include "core/lifetime.h"
#include "registry/list_diff_push.h"
#include "registry/list_export.h"
#include "registry/peer_sending.h"
#include "transport/local_identity.h"
#include "transport/message.h"
#include "transport/send/send_records.h"

namespace {
// Pushes whose unacknowledged sends a new push retires: enough to cover the
// records that six resends keep alive during a burst of changes.
constexpr int kRecentLists = 8;
} // namespace

void ListPush::noteUnknownWord(const Message &m)
{
    if (QByteArray(m.fields.text(2)) == "Word Unkown:PEERDIFF" && diffs.noteCannotDiff(m.srcIp, m.srcPort))
        clientsChanged();
}

void ListPush::clientsChanged()
{
    Lifetime::Entry entry(life);
    diffs.clientsChanged();
    // A change while a push is still being written (registrations and
    // expiries during it) starts no push of its own: once the push has been
    // written to every client, one more follows with the list as it is then,
    // which every change meanwhile joins. Each client so gets the lists in
    // the order of the changes, and a burst of N registrations costs a few
    // pushes instead of N.
    if (pushRunning || beingWritten()) {
        pushPending = true;
        return;
    }
    pushRunning = true;
    pushPending = false;
    pushOnce();
    pushRunning = false;
}

bool ListPush::beingWritten() const
{
    if (currentPush.date == 0 && currentPush.time == 0)
        return false;
    for (const PEERINFO *client : tables.clients().all())
        if (const SENDRECORD *record = sends.find(currentPush.date, currentPush.time, client->ip, client->port);
            record && record->writing)
            return true;
    return false;
}

void ListPush::noteWritingEnded(const SENDRECORD *record)
{
    diffs.noteWritingEnded(record);
    // The push that changes waited for has gone to one more client: when it
    // has gone to all, the next one starts (from the event loop, not from
    // inside the writer).
    if (!pushPending || record->date != currentPush.date || record->time != currentPush.time)
        return;
    QTimer::singleShot(0, owner, [this] {
        Lifetime::Entry entry(life);
        if (pushPending && !beingWritten())
            clientsChanged();
    });
}

void ListPush::pushOnce()
{
    // Our units get differences instead.
    QList<SendTarget> exact;
    for (const PEERINFO *client : tables.clients().all())
        if (!diffs.isOurs(client))
            exact.append(SendTarget(client->ip, client->port));
    if (exact.isEmpty())
        return;
    const QByteArray header = "PEERLIST$" + self.nameBytes() + "$0$0$0";
    int n = 0;
    const PEERINFO *list = lists.copy(tables.clients(), &n);
    if (!list)
        return;
    ++pushStats.pushes;
    retireSuperseded();
    // The send processes events, which may replace the copy: send one of its own.
    const QByteArray records(reinterpret_cast<const char *>(list), static_cast<qsizetype>(sizeof(PEERINFO)) * n);
    currentPush = MessageKey();
    const MessageKey sent =
        sending.toTargets(records.constData(), static_cast<int>(records.size()), exact, header.constData());
    currentPush = sent;
    if (sent.date != 0 || sent.time != 0)
        recentLists.append(sent);
    while (recentLists.size() > kRecentLists)
        recentLists.removeFirst();
}

void ListPush::retireSuperseded()
{
    // A client about to get the new list needs none of the older ones: their
    // resends would cost rounds during a burst, be given up after six, and a
    // late one completed would leave the client with an old list.
    for (const MessageKey &list : std::as_const(recentLists))
        for (const PEERINFO *client : tables.clients().all())
            if (SENDRECORD *record = sends.find(list.date, list.time, client->ip, client->port))
                record->retries = wire::kRemoveMark;
}
