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

// What the sender's log lines count.
struct Counts {
    int resends = 0, answers = 0, successes = 0;
};

// The receiver's report, line by line: "ready <cpu_us>", then one
// "delivered ..." line per message.
struct Report {
    QString path;
    int messages = 0;      // messages sent so far, the introduction included
    int64_t receiverCpu = 0;

    bool waitReady()
    {
        QString ready;
        if (!bench::waitLine(path, 0, ready, 10000) || !ready.startsWith(QLatin1String("ready ")))
            return false;
        receiverCpu = ready.section(QLatin1Char(' '), 1, 1).toLongLong();
        return true;
    }
    // The receiver's line for the latest message.
    bool waitLine(QString &line) { return bench::waitLine(path, messages, line, 10000); }
};

// Sends one block and waits for its acknowledgement and the receiver's line.
bool measure(MUDPUnit &unit, const Counts &counts, Report &report, const QByteArray &bytes, Run &r)
{
    const int64_t size = bytes.size();
    r.bytes = size;
    r.packets = bench::packetsFor(size);
    const Counts before = counts;
    const int64_t cpu0 = bench::cpuUs();
    const int64_t t0 = bench::monotonicNs();
    unit.sendBufferToServer(bytes.constData(), int(bytes.size()), "127.0.0.3", 46502, nullptr);
    const int64_t written = bench::monotonicNs();
    if (!bench::waitFor([&] { return counts.successes > before.successes; }, 60000)) {
        std::fprintf(stderr, "sender: no acknowledgement for %lld bytes\n", (long long)size);
        return false;
    }
    const int64_t acked = bench::monotonicNs();
    r.senderCpuS = double(bench::cpuUs() - cpu0) / 1e6;
    ++report.messages;
    QString line;
    if (!report.waitLine(line)) {
        std::fprintf(stderr, "sender: the receiver did not report block %d\n", report.messages);
        return false;
    }
    // delivered <size> <t_ns> <cpu_us> <intact> <requests> <repeats>
    const QStringList f = line.split(QLatin1Char(' '));
    r.deliveryMs = double(f.value(2).toLongLong() - t0) / 1e6;
    r.writeMs = double(written - t0) / 1e6;
    r.ackMs = double(acked - t0) / 1e6;
    const int64_t cpu = f.value(3).toLongLong();
    r.receiverCpuS = double(cpu - report.receiverCpu) / 1e6;
    report.receiverCpu = cpu;
    r.intact = f.value(1).toLongLong() == size && f.value(4) == QLatin1String("1");
    r.requests = f.value(5).toInt();
    r.repeats = f.value(6).toInt();
    // Resends counted until the record is retired at the next tick.
    bench::waitFor([&] { return false; }, 2100);
    r.resends = counts.resends - before.resends;
    r.answers = counts.answers - before.answers;
    return true;
}

// Prints one line for the runs of one size; whether they were intact, clean
// and on target.
void printSize(const std::vector<Run> &set, bool &allIntact, bool &clean, bool &onTarget)
{
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

// The table; whether every block arrived intact.
bool printTable(const std::vector<std::vector<Run>> &runs)
{
    std::printf("\n%-8s %7s %5s %11s %11s %9s %9s %9s %8s %8s %7s\n", "size", "packets", "runs", "delivery ms",
                "worst ms", "call ms", "send cpu", "recv cpu", "resends", "answers", "intact");
    int prevRequests = 0, prevRepeats = 0;
    bool allIntact = true, clean = true, onTarget = true;
    for (const std::vector<Run> &set : runs)
        if (!set.empty())
            printSize(set, allIntact, clean, onTarget);
    if (!runs.empty() && !runs.back().empty()) {
        prevRequests = runs.back().back().requests;
        prevRepeats = runs.back().back().repeats;
    }
    std::printf("\nreceiver: %d lost-packet requests, %d repeated packets in all\n", prevRequests, prevRepeats);
    std::printf("delivery: median from the send call to the receiver's data notification; call: how long the send "
                "call held the host (median); cpu = seconds per message\n");
    std::printf("targets (delivery <= 3 ms, 25 ms, 300 ms; call < 5 ms; no resend of packet 1): %s\n",
                onTarget && clean ? "met" : "MISSED");
    return allIntact;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s receiver-report repetitions\n", argv[0]);
        return 2;
    }
    Report report{QString::fromLocal8Bit(argv[1])};
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
    Counts counts;
    host.onLog = [&](const QString &line) {
        if (line.startsWith(QLatin1String("repeat send UDP package:")))
            ++counts.resends;
        else if (line.startsWith(QLatin1String("Answer lost packet:")))
            ++counts.answers;
        else if (line.startsWith(QLatin1String("Packet send success:")))
            ++counts.successes;
    };
    unit.setHostWindow(&host.window);
    if (!report.waitReady()) {
        std::fprintf(stderr, "sender: the receiver did not get ready\n");
        return 1;
    }

    // The introduction: one small message and its receipt.
    const int successes0 = counts.successes;
    unit.sendBufferToServer("hello", 5, "127.0.0.3", 46502, nullptr);
    bool failed = !bench::waitFor([&] { return counts.successes > successes0; }, 10000);
    ++report.messages;
    bench::waitFor([&] { return bench::reportLines(report.path).size() > report.messages; }, 10000);

    std::vector<std::vector<Run>> runs;
    for (int64_t size : {int64_t(64 * 1024), int64_t(1024 * 1024), int64_t(15 * 1024 * 1024)}) {
        const QByteArray bytes = bench::pattern(size);
        runs.emplace_back();
        for (int rep = 0; rep < reps && !failed; ++rep) {
            Run r;
            failed = !measure(unit, counts, report, bytes, r);
            if (!failed)
                runs.back().push_back(r);
        }
    }
    const bool allIntact = printTable(runs);
    return failed || !allIntact ? 1 : 0;
}
