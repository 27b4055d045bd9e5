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
#include "stall_meter.h"
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
                                    "UDP package send failed", "User list asked again"};
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

// What the registration and steady phases measured, for the RESULT line.
struct Figures {
    bool complete = false;
    int registered = 0, remaining = 0;
    double regSeconds = 0, regCpu = 0;
    long idleRss = 0, regRss = 0;
    qint64 datagrams = 0, bytes = 0, lists = 0, listBytes = 0, largestList = 0;
    double steadyCpuPerMin = 0, steadyBytesPerMin = 0, steadyAlivesPerMin = 0;
    double regStallMs = 0, steadyStallMs = 0; // the longest the event loop stood still
    int rcvbuf = 0;
    MUDPUnit::ListPushStats pushes;
};

void printResult(int clients, const Figures &f)
{
    std::printf("RESULT clients=%d complete=%d registered=%d remaining=%d reg_s=%.2f reg_cpu_s=%.2f "
                "idle_rss_kb=%ld peak_rss_kb=%ld datagrams=%lld bytes=%lld list_messages=%lld "
                "list_bytes=%lld largest_list_bytes=%lld steady_cpu_s_per_min=%.3f "
                "steady_bytes_per_min=%.0f steady_alive_answers_per_min=%.0f rcvbuf=%d pushes=%lld "
                "differences=%lld whole_lists=%lld reg_max_stall_ms=%.1f steady_max_stall_ms=%.1f\n",
                clients, f.complete ? 1 : 0, f.registered, f.remaining, f.regSeconds, f.regCpu, f.idleRss,
                f.regRss, static_cast<long long>(f.datagrams), static_cast<long long>(f.bytes),
                static_cast<long long>(f.lists), static_cast<long long>(f.listBytes),
                static_cast<long long>(f.largestList), f.steadyCpuPerMin, f.steadyBytesPerMin,
                f.steadyAlivesPerMin, f.rcvbuf, static_cast<long long>(f.pushes.pushes),
                static_cast<long long>(f.pushes.differences), static_cast<long long>(f.pushes.wholeLists), f.regStallMs,
                f.steadyStallMs);
}

// The server, bound and watched; false when its port is taken.
bool startServer(MUDPUnit &unit, MUDPWindow &window, Figures &f)
{
    unit.setLocalName("server");
    unit.setLocalAddr(kAddress);
    if (!unit.bindPort(kServerPort)) {
        std::fprintf(stderr, "server: cannot bind %u\n", kServerPort);
        return false;
    }
    f.rcvbuf = applyReceiveBuffer(unit);
    unit.setHostWindow(&window);
    f.idleRss = peakRssKb();
    return true;
}

// The registration's figures as they stand.
void takeRegistrationFigures(MUDPUnit &unit, const TrafficMeter &meter, const StallMeter &stalls, double cpu0,
                             qint64 elapsedMs, Figures &f)
{
    f.regStallMs = stalls.maxMs();
    f.registered = f.remaining = clientCount(unit);
    f.regSeconds = double(elapsedMs) / 1000.0;
    f.regCpu = cpuSeconds() - cpu0;
    f.regRss = peakRssKb();
    f.datagrams = meter.datagrams();
    f.bytes = meter.bytes();
    f.lists = meter.listMessages();
    f.listBytes = meter.listBytes();
    f.largestList = meter.largestListSend();
    f.pushes = unit.listPushStats();
}

// Registration: until every client process reports that all its units list
// every other client, or the limit. A server swamped by its own traffic can
// stay inside nested handlers past the limit; timers still run there, so a
// watchdog reports from one and stops the process.
void awaitRegistration(MUDPUnit &unit, TrafficMeter &meter, StallMeter &stalls, int clients, int processes, const QString &dir,
                       const Knobs &knobs, Figures &f)
{
    const double cpu0 = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    stalls.reset();
    touch(dir + QStringLiteral("/server.ready"));
    const qint64 limitMs = qint64(knobs.regLimitS) * 1000;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        takeRegistrationFigures(unit, meter, stalls, cpu0, clock.elapsed(), f);
        printResult(clients, f);
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
    f.complete = doneProcesses(dir, processes) == processes;
    takeRegistrationFigures(unit, meter, stalls, cpu0, clock.elapsed(), f);
    watchdog.stop();
}

// Steady state: heartbeats only, after two ticks in which the last
// acknowledgements and their records settle.
void measureSteady(MUDPUnit &unit, TrafficMeter &meter, StallMeter &stalls, int steadySeconds, Figures &f)
{
    idle(4500);
    meter.reset();
    stalls.reset();
    const double steady0 = cpuSeconds();
    QElapsedTimer steadyClock;
    steadyClock.start();
    while (steadyClock.elapsed() < qint64(steadySeconds) * 1000)
        idle(50);
    const double minutes = double(steadyClock.elapsed()) / 60000.0;
    f.steadyCpuPerMin = (cpuSeconds() - steady0) / minutes;
    f.steadyBytesPerMin = double(meter.bytes()) / minutes;
    f.steadyAlivesPerMin = double(meter.wordCount("RE_ALIVE")) / minutes;
    f.remaining = clientCount(unit);
    f.steadyStallMs = stalls.maxMs();
}

} // namespace

int runServer(int clients, int processes, int steadySeconds, const QString &dir)
{
    MUDPUnit unit;
    MUDPWindow window{countLogs, nullptr};
    Figures f;
    if (!startServer(unit, window, f))
        return 1;
    TrafficMeter meter(unit);
    StallMeter stalls;
    const Knobs knobs = Knobs::fromEnvironment();
    awaitRegistration(unit, meter, stalls, clients, processes, dir, knobs, f);
    const QByteArray regWords = meter.wordSummary();
    const QByteArray regLogs = logSummary();
    const long regDrops = socketDrops(kServerPort);
    measureSteady(unit, meter, stalls, steadySeconds, f);

    printResult(clients, f);
    std::printf("words during registration: %s\nwords in the steady window: %s\n", regWords.constData(),
                meter.wordSummary().constData());
    std::printf("words: server log during registration: %s\n", regLogs.constData());
    std::printf("words: datagrams dropped on the server's socket during registration: %ld\n", regDrops);
    std::fflush(stdout);
    ServerContext context{unit, meter, stalls, dir, clients, processes, knobs};
    if (f.complete && knobs.probe)
        runProbePhase(context);
    if (f.complete && knobs.churnS > 0)
        runChurnPhase(context);
    std::printf("words: server log until the end (all phases): %s\n", logSummary().constData());
    std::fflush(stdout);
    touch(dir + QStringLiteral("/stop"));
    return f.complete ? 0 : 1;
}

} // namespace bench
