// Benchmark sender: a unit on 127.0.0.2:46501 that sends blocks of 64 KiB,
// 1 MiB and 15 MiB to the receiver, waits for each acknowledgement, reads
// the receiver's report (its standard output, written to a file) and prints
// the figures as a table. A first small message, not measured, makes the two
// known to each other as units of this library, as a registration would.
//
//   mudp_bench_sender <receiver-report-file> <repetitions>
#include <QFile>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench_host.h"
#include "unit/mudp_unit.h"

namespace {

// The receiver's report lines so far.
QStringList reportLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    const int64_t end = bench::monotonicNs() + int64_t(ms) * 1000000;
    while (!done()) {
        if (bench::monotonicNs() > end)
            return false;
        bench::runEvents();
    }
    return true;
}

struct Run {
    int64_t bytes = 0;
    int64_t packets = 0;
    double deliveryMs = 0, ackMs = 0, writeMs = 0;
    double senderCpuS = 0, receiverCpuS = 0;
    int resends = 0, answers = 0, requests = 0, repeats = 0;
    bool intact = false;
};

// Loopback targets: delivery within this many ms.
double targetMs(int64_t bytes) { return bytes <= 64 * 1024 ? 3 : bytes <= 1024 * 1024 ? 25 : 300; }

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s receiver-report repetitions\n", argv[0]);
        return 2;
    }
    const QString report = QString::fromLocal8Bit(argv[1]);
    const int reps = std::max(1, std::atoi(argv[2]));
    bench::application(argc, argv);

    MUDPUnit unit;
    unit.setLocalName("sender");
    unit.setLocalAddr("127.0.0.2");
    if (!bench::keyFromEnvironment(unit)) {
        std::fprintf(stderr, "the unit refused the benchmark key\n");
        return 1;
    }
    if (!unit.bindPort(46501)) {
        std::fprintf(stderr, "sender: cannot bind 127.0.0.2:46501\n");
        return 1;
    }
    bench::Host host;
    int resends = 0, answers = 0, successes = 0;
    host.onLog = [&](const QString &line) {
        if (line.startsWith(QLatin1String("repeat send UDP package:")))
            ++resends;
        else if (line.startsWith(QLatin1String("Answer lost packet:")))
            ++answers;
        else if (line.startsWith(QLatin1String("Packet send success:")))
            ++successes;
    };
    unit.setHostWindow(&host.window);

    QString ready;
    if (!waitFor([&] { const QStringList l = reportLines(report); return !l.isEmpty() && (ready = l[0], true); }, 10000)
        || !ready.startsWith(QLatin1String("ready "))) {
        std::fprintf(stderr, "sender: the receiver did not get ready\n");
        return 1;
    }
    int64_t receiverCpu = ready.section(QLatin1Char(' '), 1, 1).toLongLong();

    const int64_t sizes[] = {64 * 1024, 1024 * 1024, 15 * 1024 * 1024};
    std::vector<std::vector<Run>> runs;
    int messages = 0;
    bool failed = false;
    // The introduction: one small message and its receipt.
    {
        const int successes0 = successes;
        unit.sendBufferToServer("hello", 5, "127.0.0.3", 46502, nullptr);
        failed = !waitFor([&] { return successes > successes0; }, 10000);
        ++messages;
        waitFor([&] { return reportLines(report).size() > messages; }, 10000);
    }
    for (int64_t size : sizes) {
        const QByteArray bytes = bench::pattern(size);
        runs.emplace_back();
        for (int rep = 0; rep < reps && !failed; ++rep) {
            Run r;
            r.bytes = size;
            r.packets = bench::packetsFor(size);
            const int resends0 = resends, answers0 = answers, successes0 = successes;
            const int64_t cpu0 = bench::cpuUs();
            const int64_t t0 = bench::monotonicNs();
            unit.sendBufferToServer(bytes.constData(), int(bytes.size()), "127.0.0.3", 46502, nullptr);
            const int64_t written = bench::monotonicNs();
            if (!waitFor([&] { return successes > successes0; }, 60000)) {
                std::fprintf(stderr, "sender: no acknowledgement for %lld bytes\n", (long long)size);
                failed = true;
                break;
            }
            const int64_t acked = bench::monotonicNs();
            r.senderCpuS = double(bench::cpuUs() - cpu0) / 1e6;
            ++messages;
            QString line;
            if (!waitFor([&] {
                    const QStringList l = reportLines(report);
                    if (l.size() <= messages)
                        return false;
                    line = l[messages];
                    return true;
                }, 10000)) {
                std::fprintf(stderr, "sender: the receiver did not report block %d\n", messages);
                failed = true;
                break;
            }
            // delivered <size> <t_ns> <cpu_us> <intact> <requests> <repeats>
            const QStringList f = line.split(QLatin1Char(' '));
            r.deliveryMs = double(f.value(2).toLongLong() - t0) / 1e6;
            r.writeMs = double(written - t0) / 1e6;
            r.ackMs = double(acked - t0) / 1e6;
            const int64_t cpu = f.value(3).toLongLong();
            r.receiverCpuS = double(cpu - receiverCpu) / 1e6;
            receiverCpu = cpu;
            r.intact = f.value(1).toLongLong() == size && f.value(4) == QLatin1String("1");
            r.requests = f.value(5).toInt();
            r.repeats = f.value(6).toInt();
            // Resends counted until the record is retired at the next tick.
            waitFor([&] { return false; }, 2100);
            r.resends = resends - resends0;
            r.answers = answers - answers0;
            runs.back().push_back(r);
        }
    }

    std::printf("\n%-8s %7s %5s %11s %11s %9s %9s %9s %8s %8s %7s\n", "size", "packets", "runs", "delivery ms",
                "worst ms", "call ms", "send cpu", "recv cpu", "resends", "answers", "intact");
    int prevRequests = 0, prevRepeats = 0;
    bool allIntact = true, clean = true, onTarget = true;
    for (const std::vector<Run> &set : runs) {
        if (set.empty())
            continue;
        std::vector<double> delivery, call;
        double sendCpu = 0, recvCpu = 0;
        int resent = 0, answered = 0;
        bool intact = true;
        for (const Run &r : set) {
            delivery.push_back(r.deliveryMs);
            call.push_back(r.writeMs);
            sendCpu += r.senderCpuS;
            recvCpu += r.receiverCpuS;
            resent += r.resends;
            answered += r.answers;
            intact = intact && r.intact;
        }
        std::sort(delivery.begin(), delivery.end());
        std::sort(call.begin(), call.end());
        const double median = delivery[delivery.size() / 2];
        const QString label = set[0].bytes >= 1024 * 1024 ? QStringLiteral("%1 MiB").arg(set[0].bytes >> 20)
                                                          : QStringLiteral("%1 KiB").arg(set[0].bytes >> 10);
        std::printf("%-8s %7lld %5zu %11.1f %11.1f %9.2f %8.3fs %8.3fs %8d %8d %7s\n", qPrintable(label),
                    (long long)set[0].packets, set.size(), median, delivery.back(), call[call.size() / 2],
                    sendCpu / set.size(), recvCpu / set.size(), resent, answered, intact ? "yes" : "NO");
        allIntact = allIntact && intact;
        clean = clean && resent == 0;
        onTarget = onTarget && median <= targetMs(set[0].bytes) && call[call.size() / 2] < 5;
    }
    if (!runs.empty() && !runs.back().empty()) {
        prevRequests = runs.back().back().requests;
        prevRepeats = runs.back().back().repeats;
    }
    std::printf("\nreceiver: %d lost-packet requests, %d repeated packets in all\n", prevRequests, prevRepeats);
    std::printf("delivery: median from the send call to the receiver's data notification; call: how long the send "
                "call held the host (median); cpu = seconds per message\n");
    std::printf("targets (delivery <= 3 ms, 25 ms, 300 ms; call < 5 ms; no resend of packet 1): %s\n",
                onTarget && clean ? "met" : "MISSED");
    return failed || !allIntact ? 1 : 0;
}
