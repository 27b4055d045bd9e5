// The server side of the registry benchmark.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "bench_roles.h"
#include "server_phases.h"
#include "traffic_meter.h"
#include "unit/mudp_unit.h"

namespace bench {

namespace {

int doneProcesses(const QString &dir, int processes)
{
    int n = 0;
    for (int p = 0; p < processes; ++p)
        n += QFile::exists(QStringLiteral("%1/done.%2").arg(dir).arg(p));
    return n;
}

// Log lines of interest, counted through the host window.
const char *const kCountedLogs[] = {"Accept peer regist", "Refuse peer regist", "repeat send UDP package",
                                    "Answer lost packet", "Request for a packet not sent yet ignored",
                                    "UDP package send failed"};
int logCounts[std::size(kCountedLogs)];

LRESULT countLogs(HWND, UINT message, WPARAM wParam, LPARAM)
{
    if (message != WM_UDP_LOG)
        return 0;
    const char *line = reinterpret_cast<const char *>(wParam);
    for (size_t i = 0; i < std::size(kCountedLogs); ++i)
        if (std::strstr(line, kCountedLogs[i]))
            ++logCounts[i];
    return 0;
}

QByteArray logSummary()
{
    QByteArray out;
    for (size_t i = 0; i < std::size(kCountedLogs); ++i)
        out += QByteArray(i ? ", " : "") + kCountedLogs[i] + ": " + QByteArray::number(logCounts[i]);
    return out;
}

// Datagrams the kernel dropped on this process's socket bound to `port`
// (a full receive buffer), from /proc/net/udp; -1 when not found.
long socketDrops(unsigned short port)
{
    QFile f(QStringLiteral("/proc/net/udp"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> cols = line.simplified().split(' ');
        if (cols.size() > 12 && cols[1].endsWith(local))
            return cols.last().toLong();
    }
    return -1;
}

} // namespace

int runServer(int clients, int processes, int steadySeconds, const QString &dir)
{
    MUDPUnit unit;
    unit.setLocalName("server");
    unit.setLocalAddr(kAddress);
    if (!unit.bindPort(kServerPort)) {
        std::fprintf(stderr, "server: cannot bind %u\n", kServerPort);
        return 1;
    }
    const int rcvbuf = applyReceiveBuffer(unit);
    MUDPWindow window{countLogs, nullptr};
    unit.setHostWindow(&window);
    TrafficMeter meter(unit);
    const long idleRss = peakRssKb();
    const double cpu0 = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    touch(dir + QStringLiteral("/server.ready"));

    // Registration: until every client process reports that all its units
    // list every other client.
    const Knobs knobs = Knobs::fromEnvironment();
    const qint64 limitMs = qint64(knobs.regLimitS) * 1000;
    // A server swamped by its own traffic can stay inside nested handlers
    // past the limit; timers still run there, so report from one and stop.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        std::printf("RESULT clients=%d complete=0 registered=%d remaining=%d reg_s=%.2f reg_cpu_s=%.2f "
                    "idle_rss_kb=%ld peak_rss_kb=%ld datagrams=%lld bytes=%lld list_messages=%lld "
                    "list_bytes=%lld largest_list_bytes=%lld steady_cpu_s_per_min=0 steady_bytes_per_min=0 "
                    "steady_alive_answers_per_min=0 rcvbuf=%d pushes=%lld\n",
                    clients, clientCount(unit), clientCount(unit), double(clock.elapsed()) / 1000.0,
                    cpuSeconds() - cpu0, idleRss, peakRssKb(), static_cast<long long>(meter.datagrams()),
                    static_cast<long long>(meter.bytes()), static_cast<long long>(meter.listMessages()),
                    static_cast<long long>(meter.listBytes()), static_cast<long long>(meter.largestListSend()),
                    rcvbuf, static_cast<long long>(unit.listPushStats().pushes));
        std::printf("words during registration: %s\n", meter.wordSummary().constData());
        std::printf("words: server log during registration: %s\n", logSummary().constData());
        std::printf("words: datagrams dropped on the server's socket during registration: %ld\n",
                    socketDrops(kServerPort));
        std::printf("words: registration did not complete within %lld s\n", limitMs / 1000);
        std::fflush(stdout);
        touch(dir + QStringLiteral("/stop"));
        std::_Exit(1);
    });
    watchdog.start(static_cast<int>(limitMs + 2000));
    while (doneProcesses(dir, processes) < processes && clock.elapsed() < limitMs)
        idle(50);
    const bool complete = doneProcesses(dir, processes) == processes;
    const double regSeconds = double(clock.elapsed()) / 1000.0;
    const double regCpu = cpuSeconds() - cpu0;
    const long regRss = peakRssKb();
    const qint64 regDatagrams = meter.datagrams(), regBytes = meter.bytes(), listBytes = meter.listBytes();
    const qint64 lists = meter.listMessages(), largestList = meter.largestListSend();
    const int registered = clientCount(unit);
    const QByteArray regWords = meter.wordSummary();
    const QByteArray regLogs = logSummary();
    const long regDrops = socketDrops(kServerPort);
    const MUDPUnit::ListPushStats regPushes = unit.listPushStats();
    watchdog.stop();

    // Steady state: heartbeats only. Let the last acknowledgements and their
    // records settle for two ticks first.
    idle(4500);
    meter.reset();
    const double steady0 = cpuSeconds();
    QElapsedTimer steadyClock;
    steadyClock.start();
    while (steadyClock.elapsed() < qint64(steadySeconds) * 1000)
        idle(50);
    const double steadyMinutes = double(steadyClock.elapsed()) / 60000.0;
    const double steadyCpu = cpuSeconds() - steady0;
    const int remaining = clientCount(unit);

    std::printf("RESULT clients=%d complete=%d registered=%d remaining=%d reg_s=%.2f reg_cpu_s=%.2f "
                "idle_rss_kb=%ld peak_rss_kb=%ld datagrams=%lld bytes=%lld list_messages=%lld "
                "list_bytes=%lld largest_list_bytes=%lld steady_cpu_s_per_min=%.3f "
                "steady_bytes_per_min=%.0f steady_alive_answers_per_min=%.0f rcvbuf=%d pushes=%lld\n",
                clients, complete ? 1 : 0, registered, remaining, regSeconds, regCpu, idleRss, regRss,
                static_cast<long long>(regDatagrams), static_cast<long long>(regBytes),
                static_cast<long long>(lists), static_cast<long long>(listBytes),
                static_cast<long long>(largestList), steadyCpu / steadyMinutes,
                double(meter.bytes()) / steadyMinutes, double(meter.wordCount("RE_ALIVE")) / steadyMinutes, rcvbuf,
                static_cast<long long>(regPushes.pushes));
    std::printf("words during registration: %s\nwords in the steady window: %s\n", regWords.constData(),
                meter.wordSummary().constData());
    std::printf("words: server log during registration: %s\n", regLogs.constData());
    std::printf("words: datagrams dropped on the server's socket during registration: %ld\n", regDrops);
    std::fflush(stdout);
    ServerContext context{unit, meter, dir, clients, processes, knobs};
    if (complete && knobs.probe)
        runProbePhase(context);
    if (complete && knobs.churnS > 0)
        runChurnPhase(context);
    touch(dir + QStringLiteral("/stop"));
    return complete ? 0 : 1;
}

} // namespace bench
