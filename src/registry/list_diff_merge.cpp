#include "registry/list_diff_merge.h"

#include "core/host_bridge.h"
#include "platform/clock.h"
#include "registry/list_diff_wire.h"
#include "registry/list_merge.h"
#include "registry/peer_tables.h"
#include "text/fixed_text.h"
#include "transport/endpoint.h"
#include "transport/local_identity.h"
#include "transport/message.h"
#include "transport/receive/incoming_records.h"
#include "transport/receive/reassembly.h"
#include "transport/send/control_sender.h"

namespace {
// Differences held while the list they follow is still on its way.
constexpr int kHeldDifferences = 64;
// The whole list is asked for at most this often per server.
constexpr qint64 kAskEveryMs = 1000;
// Without a whole list this long after a difference came, one is asked for:
// the server's was lost.
constexpr qint64 kWholeListDueMs = 15000;
// A gap in the numbers is given this long to close before the whole list is
// asked for: the difference missing is usually one datagram lost and resent
// within a few round trips, and a whole list costs the server a list's
// packets where the resend costs one.
constexpr qint64 kGapGraceMs = 1000;
} // namespace

void ListDiffMerge::handlePeerDiff(Message &m)
{
    // The same rule as for whole lists: only a server this unit registered
    // with, at its address and port, names live users.
    if (!p.tables.findServer(m.srcIp, m.srcPort, nullptr)) {
        p.host.writeLog(tr("User list not from a server dropped:") + QString::fromLatin1(m.messageKey) +
                        fromSource(m));
        return;
    }
    FromServer &s = servers[transport::endpointKey(m.srcIp, m.srcPort)];
    p.reassembly.acknowledge(m); // whatever becomes of it, the server need not send it again
    listdiff::View v;
    if (!listdiff::read(m.body(), m.bodyLength(), &v)) {
        ask(s, sourceOf(m), tr("Unreadable user list difference:"));
        return;
    }
    const listdiff::Head &h = v.head;
    const bool had = s.based && h.run == s.run && h.to <= s.at;
    if (h.kind == listdiff::Whole) {
        if (had) {
            p.host.writeLog(tr("Older user list dropped:") + QString::fromLatin1(m.messageKey) + fromSource(m));
            return;
        }
        takeWhole(s, v, m);
    } else if (had) {
        return; // a repeat, or older than the list held
    } else if (applies(s, h.run, h.from, h.to)) {
        apply(s, v, m);
    } else {
        // Before the list it follows: held until that list is here.
        const qint64 now = platform::monotonicMs();
        if (s.held.isEmpty())
            s.firstHeldMs = now;
        if (s.held.size() >= kHeldDifferences)
            s.held.removeFirst();
        s.held.append({h.run, h.from, h.to, QByteArray(m.body(), m.bodyLength())});
        s.address = m.srcAddress;
        s.ip = QByteArray(m.srcIp);
        s.port = m.srcPort;
        s.lastKey = m.messageKey;
        if (s.based && h.run != s.run)
            ask(s, sourceOf(m), tr("User list of a new run:"));
        else if (waitedEnough(s, sourceOf(m), now))
            ask(s, sourceOf(m), s.based ? tr("Gap in user lists:") : tr("User list missing:"));
        return;
    }
    applyHeld(s, m);
    p.host.liveUsersChanged();
    p.host.writeLog(QStringLiteral("Get Server User List"));
}

void ListDiffMerge::forget(const char *ip, unsigned short port)
{
    servers.remove(transport::endpointKey(ip, port));
}

bool ListDiffMerge::applies(const FromServer &s, quint32 run, quint32 from, quint32 to) const
{
    return s.based && run == s.run && from <= s.at && s.at < to;
}

void ListDiffMerge::takeWhole(FromServer &s, const listdiff::View &v, const Message &m)
{
    p.whole.merge(v.puts.constData(), int(v.head.puts), m.srcIp, m.srcPort);
    s.based = true;
    s.run = v.head.run;
    s.at = v.head.to;
}

void ListDiffMerge::apply(FromServer &s, const listdiff::View &v, const Message &m)
{
    // As merging the whole list would: a record put is added unless a live
    // user matches it (which then stays as it is), and a live user of this
    // server that a removed record matches goes.
    PeerTable &users = p.tables.liveUsers();
    for (quint32 i = 0; i < v.head.puts; ++i) {
        const PEERINFO record = listdiff::recordAt(v.puts, i);
        if (text::fieldEquals(record.name, sizeof record.name, p.self.name) ||
            p.tables.findLiveUser(record.ip, record.port, record.name, record.serverIp, record.serverPort))
            continue;
        auto *entry = new PEERINFO(record);
        entry->access = 0;
        entry->life = 0;
        users.append(entry);
    }
    for (quint32 i = 0; i < v.head.removes; ++i) {
        const PEERINFO record = listdiff::recordAt(v.removes, i);
        if (text::fieldEquals(record.name, sizeof record.name, p.self.name))
            continue;
        PEERINFO *entry =
            p.tables.findLiveUser(record.ip, record.port, record.name, record.serverIp, record.serverPort);
        if (entry && text::fieldEquals(entry->serverIp, sizeof entry->serverIp, m.srcIp) &&
            entry->serverPort == m.srcPort)
            p.tables.remove(users, int(users.all().indexOf(entry)));
    }
    s.at = v.head.to;
}

void ListDiffMerge::applyHeld(FromServer &s, const Message &m)
{
    for (bool progress = true; progress;) {
        progress = false;
        for (int k = 0; k < s.held.size(); ++k) {
            const Held &held = s.held.at(k);
            listdiff::View v;
            if (held.run == s.run && held.to <= s.at) {
                s.held.removeAt(k--);
            } else if (applies(s, held.run, held.from, held.to) &&
                       listdiff::read(held.body.constData(), int(held.body.size()), &v)) {
                apply(s, v, m);
                s.held.removeAt(k--);
                progress = true;
            }
        }
    }
    askForGap(s, sourceOf(m));
}

void ListDiffMerge::askForGap(FromServer &s, const Source &from)
{
    if (!waitedEnough(s, from, platform::monotonicMs()))
        return;
    for (const Held &held : std::as_const(s.held))
        if (!s.based || held.run == s.run) {
            ask(s, from, s.based ? tr("Gap in user lists:") : tr("User list missing:"));
            return;
        }
}

void ListDiffMerge::checkHeld()
{
    // Without it, a gap was looked at again only when the next difference
    // came: one left open at the end of a burst of registrations (a
    // difference dropped among too many held) stayed open for good.
    for (FromServer &s : servers)
        if (!s.held.isEmpty() && !s.ip.isEmpty())
            askForGap(s, Source{s.address, s.ip.constData(), s.port, s.lastKey.constData()});
}

ListDiffMerge::Source ListDiffMerge::sourceOf(const Message &m)
{
    return Source{m.srcAddress, m.srcIp, m.srcPort, m.messageKey.constData()};
}

bool ListDiffMerge::waitedEnough(const FromServer &s, const Source &from, qint64 nowMs) const
{
    // What is missing may be a longer message the server is still writing
    // (a server with thousands of clients comes back to each one after
    // seconds): while packets of one keep coming, it is waited for.
    const qint64 grace = s.based ? kGapGraceMs : kWholeListDueMs;
    return nowMs - s.firstHeldMs > grace && !p.incoming.progressing(from.address, from.port, nowMs - kGapGraceMs);
}

void ListDiffMerge::ask(FromServer &s, const Source &from, const QString &why)
{
    const qint64 now = platform::monotonicMs();
    if (s.askedMs >= 0 && now - s.askedMs < kAskEveryMs)
        return;
    s.askedMs = now;
    p.controls.sendText("PEERSYNC$" + p.self.nameBytes(), from.ip, from.port);
    p.host.writeLog(why + QString::fromLatin1(from.key) + tr(" From:") + endpointLabel(from.ip, from.port));
}
