#include "server_phases.h"

#include <QFile>
#include <algorithm>
#include <cstdio>

#include "stall_meter.h"
#include "traffic_meter.h"
#include "transport/wire.h"
#include "unit/mudp_unit.h"

namespace bench {

namespace {

QString file(const ServerContext &c, const QString &name) { return c.dir + '/' + name; }

// Datagrams and bytes the server sent since the meter's reset, less the
// answers to heartbeats (RE_ALIVE), which go on whatever else happens.
struct Cost {
    qint64 datagrams, bytes;
};
Cost changeCost(const TrafficMeter &meter)
{
    const qint64 heartbeats = meter.wordCount("RE_ALIVE");
    return {meter.datagrams() - heartbeats, meter.bytes() - heartbeats * wire::kDatagramSize};
}

// The largest number in files prefix.0 .. prefix.(count-1) (their first
// word), or -1 unless every one is there.
qint64 latestOfAll(const ServerContext &c, const QString &prefix, int count)
{
    qint64 latest = 0;
    for (int p = 0; p < count; ++p) {
        const QByteArray content = readFile(file(c, QStringLiteral("%1.%2").arg(prefix).arg(p))).trimmed();
        if (content.isEmpty())
            return -1;
        latest = std::max(latest, content.split(' ').constLast().toLongLong());
    }
    return latest;
}

// One change made by the probe: asks for it (`trigger`), waits for the
// probe's file (`made`: "PORT MS") and for every client process's report
// (`seen`.<p>), then 2 s more for what the change still costs.
QByteArray measureChange(ServerContext &c, const char *name, const char *trigger, const char *made, const char *seen)
{
    c.meter.reset();
    touch(file(c, QLatin1String(trigger)));
    const qint64 limitAt = monoMs() + qint64(c.knobs.probeLimitS) * 1000;
    qint64 madeMs = 0, seenMs = -1;
    while (monoMs() < limitAt && (seenMs < 0 || !madeMs)) {
        idle(50);
        if (!madeMs)
            madeMs = readFile(file(c, QLatin1String(made))).split(' ').value(1).trimmed().toLongLong();
        seenMs = latestOfAll(c, QLatin1String(seen), c.processes);
    }
    idle(2000);
    std::printf("words of the %s: %s\n", name, c.meter.wordSummary().constData());
    const Cost cost = changeCost(c.meter);
    return QByteArray(" ") + name + "_ms=" + QByteArray::number(madeMs && seenMs >= 0 ? seenMs - madeMs : -1) + ' ' +
           name + "_datagrams=" + QByteArray::number(cost.datagrams) + ' ' + name +
           "_bytes=" + QByteArray::number(cost.bytes);
}

// Writes server.list ("SEQ\nPORT PORT ...") when the client list changed.
struct ListPublisher {
    QByteArray last;
    long long seq = 0;
    qint64 writtenMs = 0;
    void publish(ServerContext &c)
    {
        int count = 0;
        const PEERINFO *list = c.unit.exportList(MUDPUnit::List::Client, &count);
        std::vector<unsigned short> ports;
        for (int i = 0; i < count; ++i)
            ports.push_back(list[i].port);
        std::sort(ports.begin(), ports.end());
        QByteArray text;
        for (unsigned short p : ports)
            text += QByteArray::number(p) + ' ';
        if (text == last)
            return;
        last = text;
        writtenMs = monoMs();
        writeAtomically(file(c, QStringLiteral("server.list")), QByteArray::number(++seq) + '\n' + text);
    }
    // Whether every reporting process agrees with the list now published;
    // then the latest moment one of them changed.
    qint64 agreedAt(ServerContext &c, int reporters) const
    {
        qint64 latest = writtenMs;
        for (int p = 0; p < reporters; ++p) {
            const QList<QByteArray> words = readFile(file(c, QStringLiteral("agree.%1").arg(p))).trimmed().split(' ');
            if (words.size() < 2 || words[0].toLongLong() != seq)
                return -1;
            latest = std::max(latest, words[1].toLongLong());
        }
        return latest;
    }
};

} // namespace

int clientCount(MUDPUnit &u)
{
    int count = 0;
    u.exportList(MUDPUnit::List::Client, &count);
    return count;
}

void runProbePhase(ServerContext &c)
{
    QByteArray line = "PROBE clients=" + QByteArray::number(c.clients);
    line += measureChange(c, "join", "probe.join", "probe.joined", "seen.join");
    line += measureChange(c, "leave", "probe.leave", "probe.left", "seen.leave");
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}

void runChurnPhase(ServerContext &c)
{
    const int before = clientCount(c.unit);
    ListPublisher lists;
    lists.publish(c);
    const qint64 start = monoMs() + 500;
    const qint64 end = start + qint64(c.knobs.churnS) * 1000;
    writeAtomically(file(c, QStringLiteral("churn.start")), QByteArray::number(start));
    c.meter.reset();
    c.stalls.reset();
    const double cpu0 = cpuSeconds();
    while (monoMs() < end) {
        idle(100);
        lists.publish(c);
    }
    const double churnCpu = cpuSeconds() - cpu0;
    const double stallMs = c.stalls.maxMs();
    const qint64 stalls = c.stalls.over10Ms();
    const Cost during = changeCost(c.meter);
    const int after = clientCount(c.unit);
    const qint64 limitAt = end + qint64(c.knobs.agreeLimitS) * 1000;
    qint64 agreed = -1;
    while (agreed < 0 && monoMs() < limitAt) {
        idle(100);
        lists.publish(c);
        agreed = lists.agreedAt(c, c.processes + c.knobs.churnProcs);
    }
    const Cost total = changeCost(c.meter);
    const int changes = 2 * churnChanges(c.knobs);
    std::printf("CHURN clients=%d changes=%d seconds=%d clients_before=%d clients_after=%d clients_final=%d "
                "cpu_s=%.2f "
                "datagrams=%lld bytes=%lld datagrams_until_agreed=%lld bytes_until_agreed=%lld "
                "datagrams_per_change=%.1f bytes_per_change=%.0f agree_ms=%lld agree_limit_s=%d peak_rss_kb=%ld "
                "max_stall_ms=%.1f stalls_over_10ms=%lld\n",
                c.clients, changes, c.knobs.churnS, before, after, clientCount(c.unit), churnCpu, static_cast<long long>(during.datagrams),
                static_cast<long long>(during.bytes), static_cast<long long>(total.datagrams),
                static_cast<long long>(total.bytes), double(total.datagrams) / changes, double(total.bytes) / changes,
                static_cast<long long>(agreed < 0 ? -1 : std::max<qint64>(0, agreed - end)), c.knobs.agreeLimitS,
                peakRssKb(), stallMs, static_cast<long long>(stalls));
    std::fflush(stdout);
}

} // namespace bench
