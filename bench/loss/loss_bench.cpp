// Loss benchmark: plain units of the library over loopback addresses of a
// namespace whose INPUT chain drops a share of UDP datagrams (run.sh sets
// the rule). Three roles:
//
//   mudp_bench_loss receiver <seconds>
//       a unit on 127.0.0.3:46702 that prints one line per data block:
//       "delivered <size> <t_ns> <intact> <datagrams sent so far>"
//   mudp_bench_loss sender <receiver-report> <loss-label> <tries> <sizes...>
//       a unit on 127.0.0.2:46701 that sends each size <tries> times and
//       prints one table row per size
//   mudp_bench_loss heartbeat <loss-label> <clients> <seconds>
//       a server and <clients> clients in one process, timers running, and
//       a count of the server and client entries that expired meanwhile
#include <QFile>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bench_host.h"
#include "io/outgoing_tap.h"
#include "unit/mudp_unit.h"

namespace {

// Counts what a unit writes to its socket.
void countSent(MUDPUnit &unit, int64_t *count)
{
    unit.setOutgoingTap([count](QByteArray &, QHostAddress &, quint16 &) {
        ++*count;
        return true;
    });
}

// With MUDP_LOSS_TRACE set, a role writes its unit's log lines and, every
// 100 ms, the datagrams it wrote meanwhile to standard error, each with the
// time since the role started: enough to see where a slow try waited.
void traceIfAsked(MUDPUnit &unit, bench::Host &host, const char *role, const int64_t *sent)
{
    if (!std::getenv("MUDP_LOSS_TRACE"))
        return;
    static const int64_t start = bench::monotonicNs();
    auto stamp = [] { return double(bench::monotonicNs() - start) / 1e6; };
    auto previous = host.onLog;
    host.onLog = [=](const QString &line) {
        std::fprintf(stderr, "%10.1f %s log %s\n", stamp(), role, qPrintable(line.left(160)));
        if (previous)
            previous(line);
    };
    auto *timer = new QTimer(&unit);
    auto last = std::make_shared<int64_t>(0);
    QObject::connect(timer, &QTimer::timeout, [=] {
        if (*sent != *last)
            std::fprintf(stderr, "%10.1f %s wrote %lld\n", stamp(), role, (long long)(*sent - *last));
        *last = *sent;
    });
    timer->start(100);
}

QString sizeLabel(int64_t bytes)
{
    return bytes >= 1024 * 1024 ? QStringLiteral("%1 MiB").arg(bytes >> 20) : QStringLiteral("%1 KiB").arg(bytes >> 10);
}

int receiver(int seconds)
{
    MUDPUnit unit;
    unit.setLocalName("receiver");
    unit.setLocalAddr("127.0.0.3");
    if (!unit.bindPort(46702)) {
        std::fprintf(stderr, "receiver: cannot bind 127.0.0.3:46702\n");
        return 1;
    }
    int64_t sent = 0;
    countSent(unit, &sent);
    bench::Host host;
    host.onData = [&](const char *data, int size) {
        const int64_t t = bench::monotonicNs();
        const bool intact = bench::matchesPattern(data, size);
        std::printf("delivered %d %lld %d %lld\n", size, (long long)t, intact ? 1 : 0, (long long)sent);
        std::fflush(stdout);
    };
    traceIfAsked(unit, host, "receiver", &sent);
    unit.setHostWindow(&host.window);
    QTimer::singleShot(seconds * 1000, QCoreApplication::instance(), &QCoreApplication::quit);
    std::printf("ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

struct Try {
    bool delivered = false, acknowledged = false;
    double deliveryMs = 0;
    int64_t senderSent = 0, receiverSent = 0;
};

// The sender's side of one message: what it wrote, whether it was
// acknowledged, and the receiver's line for it.
struct SenderSide {
    MUDPUnit &unit;
    const QString &report;
    const int64_t &sent;
    const int &successes;
    int lines = 1; // "ready"
    int64_t receiverSent = 0;

    Try send(const QByteArray &bytes)
    {
        Try r;
        const int successes0 = successes;
        const int64_t sent0 = sent;
        const int64_t t0 = bench::monotonicNs();
        unit.sendBufferToServer(bytes.constData(), int(bytes.size()), "127.0.0.3", 46702, nullptr);
        QString line;
        // A message the receiver could not complete is forgotten there
        // after about 20 s; one the sender gives up is retired after 16 s.
        r.delivered = bench::waitLine(report, lines, line, 30000);
        if (r.delivered) {
            ++lines;
            const QStringList f = line.split(QLatin1Char(' '));
            r.deliveryMs = double(f.value(2).toLongLong() - t0) / 1e6;
            r.delivered = f.value(1).toLongLong() == bytes.size() && f.value(3) == QLatin1String("1");
            r.receiverSent = f.value(4).toLongLong() - receiverSent;
            receiverSent = f.value(4).toLongLong();
        }
        r.acknowledged = bench::waitFor([&] { return successes > successes0; }, 20000);
        r.senderSent = sent - sent0;
        return r;
    }
};

void printTries(const char *loss, int64_t size, const std::vector<Try> &runs)
{
    const int tries = int(runs.size());
    std::vector<double> times;
    int delivered = 0, acknowledged = 0;
    int64_t senderSent = 0, recvSent = 0;
    for (const Try &r : runs) {
        if (r.delivered) {
            ++delivered;
            times.push_back(r.deliveryMs);
        }
        acknowledged += r.acknowledged;
        senderSent += r.senderSent;
        recvSent += r.receiverSent;
    }
    std::sort(times.begin(), times.end());
    const double median = times.empty() ? 0 : times[times.size() / 2];
    const double worst = times.empty() ? 0 : times.back();
    std::printf("%5s %8s %7lld %3d/%-3d %3d/%-3d %10.1f %10.1f %11lld %11lld\n", loss, qPrintable(sizeLabel(size)),
                (long long)bench::packetsFor(size), delivered, tries, acknowledged, tries, median, worst,
                (long long)(senderSent / tries), (long long)(recvSent / tries));
    std::fflush(stdout);
}

int sender(const QString &report, const char *loss, int tries, const std::vector<int64_t> &sizes)
{
    MUDPUnit unit;
    unit.setLocalName("sender");
    unit.setLocalAddr("127.0.0.2");
    if (!unit.bindPort(46701)) {
        std::fprintf(stderr, "sender: cannot bind 127.0.0.2:46701\n");
        return 1;
    }
    int64_t sent = 0;
    countSent(unit, &sent);
    bench::Host host;
    int successes = 0;
    host.onLog = [&](const QString &line) { successes += line.startsWith(QLatin1String("Packet send success:")); };
    traceIfAsked(unit, host, "sender", &sent);
    unit.setHostWindow(&host.window);
    if (!bench::waitFor([&] { return !bench::reportLines(report).isEmpty(); }, 10000)) {
        std::fprintf(stderr, "sender: the receiver did not get ready\n");
        return 1;
    }
    SenderSide side{unit, report, sent, successes};
    bool allDelivered = true;
    for (int64_t size : sizes) {
        const QByteArray bytes = bench::pattern(size);
        std::vector<Try> runs;
        for (int t = 0; t < tries; ++t) {
            runs.push_back(side.send(bytes));
            allDelivered = allDelivered && runs.back().delivered;
        }
        printTries(loss, size, runs);
    }
    return allDelivered ? 0 : 1;
}

int heartbeat(const char *loss, int clients, int seconds)
{
    MUDPUnit server;
    server.setLocalName("server");
    server.setLocalAddr("127.0.0.2");
    if (!server.bindPort(46800)) {
        std::fprintf(stderr, "heartbeat: cannot bind 127.0.0.2:46800\n");
        return 1;
    }
    int serverExpiries = 0, clientExpiries = 0, registered = 0;
    bench::Host serverHost;
    serverHost.onLog = [&](const QString &l) {
        serverExpiries += l.startsWith(QLatin1String("delete expired client"));
    };
    server.setHostWindow(&serverHost.window);
    std::vector<std::unique_ptr<MUDPUnit>> units;
    std::vector<std::unique_ptr<bench::Host>> hosts;
    for (int i = 0; i < clients; ++i) {
        auto unit = std::make_unique<MUDPUnit>();
        const QByteArray name = "client" + QByteArray::number(i);
        unit->setLocalName(name.constData());
        unit->setLocalAddr("127.0.0.3");
        if (!unit->bindPort(static_cast<unsigned short>(46801 + i))) {
            std::fprintf(stderr, "heartbeat: cannot bind a client port\n");
            return 1;
        }
        auto host = std::make_unique<bench::Host>();
        host->onLog = [&](const QString &l) { clientExpiries += l.startsWith(QLatin1String("delete expired server")); };
        unit->setHostWindow(&host->window);
        int count = 0;
        // Registration itself is a single exchange: try until it lands.
        for (int attempt = 0; attempt < 20 && (unit->exportList(MUDPUnit::List::Server, &count), count == 0); ++attempt)
            unit->regToServer("127.0.0.2", 46800);
        registered += count > 0;
        units.push_back(std::move(unit));
        hosts.push_back(std::move(host));
    }
    // A client whose REGACC was lost is refused as a duplicate until the
    // server lets its entry expire, after which it registers: such
    // expiries belong to registration, not to the heartbeats measured.
    const int serverBefore = serverExpiries, clientBefore = clientExpiries;
    bench::waitFor([] { return false; }, int64_t(seconds) * 1000);
    serverExpiries -= serverBefore;
    clientExpiries -= clientBefore;
    int stillServer = 0;
    for (auto &u : units) {
        int count = 0;
        u->exportList(MUDPUnit::List::Server, &count);
        stillServer += count;
    }
    std::printf("%5s %7d %10d %9d/%-3d %14d %14d %13d/%d\n", loss, clients, seconds, registered, clients,
                clientExpiries, serverExpiries, stillServer, registered);
    std::fflush(stdout);
    return clientExpiries == 0 && serverExpiries == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    bench::application(argc, argv);
    const QByteArray role = argc > 1 ? argv[1] : "";
    if (role == "receiver" && argc == 3)
        return receiver(std::atoi(argv[2]));
    if (role == "sender" && argc >= 6) {
        std::vector<int64_t> sizes;
        for (int i = 5; i < argc; ++i)
            sizes.push_back(std::atoll(argv[i]));
        return sender(QString::fromLocal8Bit(argv[2]), argv[3], std::max(1, std::atoi(argv[4])), sizes);
    }
    if (role == "heartbeat" && argc == 5)
        return heartbeat(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    std::fprintf(stderr, "usage: %s receiver <seconds> | sender <report> <loss> <tries> <sizes...> | "
                         "heartbeat <loss> <clients> <seconds>\n", argv[0]);
    return 2;
}
