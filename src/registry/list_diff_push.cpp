#include "registry/list_diff_push.h"

#include <QRandomGenerator>
#include <algorithm>
#include <QTimer>
#include <cstring>

#include "core/host_bridge.h"
#include "core/lifetime.h"
#include "platform/clock.h"
#include "registry/peer_sending.h"
#include "transport/send/send_records.h"
#include "text/fixed_text.h"
#include "transport/endpoint.h"
#include "transport/local_identity.h"
#include "transport/message.h"

namespace {
// Changes within this window go out as one difference. While changes keep
// coming (one within a second of the last difference), the window widens
// with the clients, a millisecond for every three up to a second: every
// difference costs each client an acknowledgement back, and a burst of
// registrations at a server of thousands would otherwise bring it tens of
// thousands a second.
constexpr int kWindowMs = 100;
constexpr qint64 kBusyWithinMs = 1000;
constexpr int kClientsPerBusyMs = 3;
constexpr int kBusyWindowMs = 1000;
// A client gets a whole list at most this often, however often it asks: a
// forged ask from its address buys at most one list a second.
constexpr qint64 kWholeListEveryMs = 1000;
// While new clients wait for a whole list being written, whether it has
// been is also looked at this often (its end is noticed at once otherwise).
constexpr qint64 kWholeListPollMs = 500;

QByteArray recordKey(const char *name, const char *ip, unsigned short port)
{
    return QByteArray(name, qsizetype(strnlen(name, sizeof PEERINFO::name))) + '\0' +
           transport::endpointKey(ip, port);
}

QByteArray recordKey(const PEERINFO &p) { return recordKey(p.name, p.ip, p.port); }

// Whether a client would see a change: every field but the access flag and
// the heartbeat countdown, which change without the list changing.
bool sameRecord(const PEERINFO &a, const PEERINFO &b)
{
    return std::memcmp(&a, &b, offsetof(PEERINFO, padding)) == 0;
}

QByteArray bytesOf(const PEERINFO &p) { return QByteArray(reinterpret_cast<const char *>(&p), sizeof p); }

// A client that unregistered stays in the table until the next heartbeat
// tick; our units' lists lose it at once.
bool leaving(const PEERINFO *client) { return client->life <= wire::kRemoveMark; }
} // namespace

ListDiffPush::ListDiffPush(QObject *owner, LocalIdentity &self, PeerTables &tables, PeerSending &sending,
                           SendRecords &sends, HostBridge &host, Lifetime &life)
    : self(self), tables(tables), sending(sending), sends(sends), host(host), life(life), window(new QTimer(owner)),
      run(QRandomGenerator::system()->generate())
{
    window->setSingleShot(true);
    QObject::connect(window, &QTimer::timeout, window, [this] { flush(); });
}

void ListDiffPush::stop() { window->stop(); }

void ListDiffPush::noteRegistered(const PEERINFO *client, bool ours)
{
    Follower &f = followers[recordKey(*client)];
    f.ours = ours;
    f.needsWhole = true;
    f.wholeSentMs = -1;
}

bool ListDiffPush::isOurs(const PEERINFO *client) const
{
    const auto it = followers.constFind(recordKey(*client));
    return !wholeListsOnly && it != followers.constEnd() && it->ours;
}

bool ListDiffPush::noteCannotDiff(const char *ip, unsigned short port)
{
    const PEERINFO *client = tables.findClient(ip, port, nullptr);
    if (!client)
        return false;
    const auto it = followers.find(recordKey(*client));
    if (it == followers.end() || !it->ours)
        return false;
    it->ours = false;
    return true;
}

void ListDiffPush::clientsChanged()
{
    if (window->isActive())
        return;
    const bool busy = lastFlushMs >= 0 && platform::monotonicMs() - lastFlushMs < kBusyWithinMs;
    window->start(busy ? std::clamp(tables.clients().size() / kClientsPerBusyMs, kWindowMs, kBusyWindowMs)
                       : kWindowMs);
}

void ListDiffPush::handleSync(Message &m)
{
    char name[40];
    text::copyName(name, m.fields.text(1));
    const auto it = followers.find(recordKey(name, m.srcIp, m.srcPort));
    if (it == followers.end() || !it->ours || !tables.findClient(m.srcIp, m.srcPort, name)) {
        host.writeLog(tr("User list ask not from a client dropped:") + fromSource(m));
        return;
    }
    // Before the log line: the host may call in while it is written.
    it->needsWhole = true;
    ++diffStats.asked;
    clientsChanged();
    host.writeLog(tr("User list asked again by ") + host.name(m.fields.text(1)) + fromSource(m));
}

ListDiffPush::Snapshot ListDiffPush::current() const
{
    Snapshot now;
    now.reserve(tables.clients().size());
    for (const PEERINFO *client : tables.clients().all())
        if (!leaving(client))
            now.insert(recordKey(*client), *client);
    return now;
}

bool ListDiffPush::changesSince(const Snapshot &now, QByteArray *puts, QByteArray *removes) const
{
    // In table order, so that a client adds them in the order a whole list
    // would.
    for (const PEERINFO *client : tables.clients().all()) {
        if (leaving(client))
            continue;
        const auto before = snapshot.constFind(recordKey(*client));
        if (before == snapshot.constEnd() || !sameRecord(*before, *client))
            *puts += bytesOf(*client);
    }
    for (auto it = snapshot.constBegin(); it != snapshot.constEnd(); ++it)
        if (!now.contains(it.key()))
            *removes += bytesOf(*it);
    return !puts->isEmpty() || !removes->isEmpty();
}

void ListDiffPush::dropGone(const Snapshot &now)
{
    for (auto it = followers.begin(); it != followers.end();)
        it = now.contains(it.key()) ? std::next(it) : followers.erase(it);
}

QByteArray ListDiffPush::wholeList() const
{
    QByteArray records;
    records.reserve(tables.clients().size() * qsizetype(sizeof(PEERINFO)));
    for (const PEERINFO *client : tables.clients().all())
        if (!leaving(client))
            records += bytesOf(*client);
    return records;
}

void ListDiffPush::flush()
{
    Lifetime::Entry entry(life);
    const Snapshot now = current();
    dropGone(now);
    QByteArray puts, removes;
    const bool changed = changesSince(now, &puts, &removes);
    if (changed) {
        ++number;
        snapshot = now;
        lastFlushMs = platform::monotonicMs();
    }
    // Clients in step get the difference; new ones, those that asked and
    // any that fell behind get the whole list, each at most once a second,
    // and one whole list at a time: those that come while one is still
    // being written get the next, when it has been.
    const qint64 nowMs = platform::monotonicMs();
    const bool wholeBusy = wholeBeingWritten();
    qint64 deferMs = -1;
    QList<SendTarget> inStep, fresh;
    for (const PEERINFO *client : tables.clients().all()) {
        const auto it = followers.find(recordKey(*client));
        if (wholeListsOnly || it == followers.end() || !it->ours || leaving(client))
            continue;
        Follower &f = *it;
        if (!f.needsWhole && changed && f.at + 1 == number) {
            inStep.append(SendTarget(client->ip, client->port));
            f.at = number;
            continue;
        }
        if (!f.needsWhole && f.at == number)
            continue;
        const qint64 waitMs = f.wholeSentMs < 0 ? 0 : f.wholeSentMs + kWholeListEveryMs - nowMs;
        f.needsWhole = true;
        if (waitMs > 0 || wholeBusy) {
            deferMs = wholeBusy ? deferMs : deferMs < 0 ? waitMs : std::min(deferMs, waitMs);
            wholeWaiting = wholeWaiting || wholeBusy;
            continue;
        }
        fresh.append(SendTarget(client->ip, client->port));
        f = Follower{true, false, number, nowMs};
    }
    // The sends may run events: the numbers are taken before.
    const quint32 to = number;
    if (!inStep.isEmpty())
        send(listdiff::Difference, to - 1, to, puts, removes, inStep);
    if (!fresh.isEmpty()) {
        wholeKey = send(listdiff::Whole, 0, to, wholeList(), QByteArray(), fresh);
        wholeTargets = fresh;
    }
    if (wholeWaiting)
        deferMs = deferMs < 0 ? kWholeListPollMs : std::min(deferMs, kWholeListPollMs);
    if (deferMs > 0 && !window->isActive())
        window->start(int(deferMs));
}

bool ListDiffPush::wholeBeingWritten() const
{
    for (const SendTarget &t : wholeTargets)
        if (const SENDRECORD *record = sends.find(wholeKey.date, wholeKey.time, t.ip, t.port);
            record && record->writing)
            return true;
    return false;
}

void ListDiffPush::noteWritingEnded(const SENDRECORD *record)
{
    // The whole list that new clients waited for has gone to one more of its
    // clients: once it has gone to all, the next goes with the window.
    if (wholeWaiting && record->date == wholeKey.date && record->time == wholeKey.time && !wholeBeingWritten()) {
        wholeWaiting = false;
        clientsChanged();
    }
}

MessageKey ListDiffPush::send(listdiff::Kind kind, quint32 from, quint32 to, const QByteArray &puts,
                        const QByteArray &removes, const QList<SendTarget> &targets)
{
    listdiff::Head head{};
    head.kind = kind;
    head.run = run;
    head.from = from;
    head.to = to;
    const QByteArray body = listdiff::build(head, puts, removes);
    const QByteArray header = "PEERDIFF$" + self.nameBytes() + "$0$0$0";
    ++(kind == listdiff::Whole ? diffStats.wholeLists : diffStats.differences);
    return sending.toTargets(body.constData(), int(body.size()), targets, header.constData());
}
