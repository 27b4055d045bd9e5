// What the benchmark programs share: clocks, CPU time, the test pattern and
// a host window that collects the unit's log lines and data.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <sys/resource.h>

#include "mudp.h"

namespace bench {

inline int64_t monotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts); // shared by all processes of the host
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// User plus system CPU time of this process, in microseconds.
inline int64_t cpuUs()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (int64_t(ru.ru_utime.tv_sec) + ru.ru_stime.tv_sec) * 1000000 + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

// Runs the event loop as a host's would: it sleeps until a datagram or a
// timer is due (at most 5 ms, so that the caller's deadline is looked at).
inline void runEvents()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
}

// Runs events until done() or ms have passed; whether done.
inline bool waitFor(const std::function<bool()> &done, int64_t ms)
{
    const int64_t end = monotonicNs() + ms * 1000000;
    while (!done()) {
        if (monotonicNs() > end)
            return false;
        runEvents();
    }
    return true;
}

// The lines a receiver has written to its report file so far.
inline QStringList reportLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Waits up to ms for line `index` (0-based) of the report; whether it came.
inline bool waitLine(const QString &path, int index, QString &line, int64_t ms)
{
    return waitFor(
        [&] {
            const QStringList l = reportLines(path);
            if (l.size() <= index)
                return false;
            line = l[index];
            return true;
        },
        ms);
}

// MUDP_BENCH_KEY=1 (set for both sides by run.sh --keyed): the unit joins a
// closed network of a fixed benchmark key. False when the unit refused it.
template <typename Unit> bool keyFromEnvironment(Unit &unit)
{
    const char *keyed = std::getenv("MUDP_BENCH_KEY");
    if (!keyed || !*keyed || std::strcmp(keyed, "0") == 0)
        return true;
    unsigned char key[32];
    std::memset(key, 0x42, sizeof key);
    return unit.setNetworkKey(key, int(sizeof key));
}

inline char patternByte(int64_t i, int64_t size) { return char((i * 131 + size * 7 + (i >> 9)) & 0xff); }

inline QByteArray pattern(int64_t size)
{
    QByteArray b(size, '\0');
    for (int64_t i = 0; i < size; ++i)
        b[qsizetype(i)] = patternByte(i, size);
    return b;
}

inline bool matchesPattern(const char *data, int64_t size)
{
    for (int64_t i = 0; i < size; ++i)
        if (data[i] != patternByte(i, size))
            return false;
    return true;
}

// Packets of a buffered message of `bytes` host bytes.
inline int64_t packetsFor(int64_t bytes) { return (bytes + 80 + 499) / 500; }

// The host window: log lines (without their time prefix) and data go to the
// callbacks.
struct Host {
    MUDPWindow window{&Host::proc, this};
    std::function<void(const QString &)> onLog;
    std::function<void(const char *, int)> onData;

    static LRESULT proc(HWND w, UINT message, WPARAM wParam, LPARAM lParam)
    {
        Host *self = static_cast<Host *>(w->user);
        if (message == WM_UDP_LOG && self->onLog)
            self->onLog(QString::fromLatin1(reinterpret_cast<const char *>(wParam), int(lParam)).mid(9));
        else if (message == WM_UDP_DATA && self->onData)
            self->onData(reinterpret_cast<const char *>(wParam), int(lParam));
        return 0;
    }
};

inline QCoreApplication &application(int &argc, char **argv)
{
    static QCoreApplication app(argc, argv);
    return app;
}

} // namespace bench
