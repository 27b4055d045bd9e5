// The units that join during the benchmark: the probe (one join and one
// leave, each when the server asks) and the churn's joiners.
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>

#include "bench_roles.h"
#include "phase_follower.h"
#include "watched_unit.h"

namespace bench {

namespace {

bool stopped(const QString &dir, const QElapsedTimer &clock, const Knobs &knobs)
{
    return QFile::exists(dir + QStringLiteral("/stop")) || clock.elapsed() >= qint64(knobs.lifeS) * 1000;
}

// Waits for the server's file `name`; false if the run stops first.
bool awaitFile(const QString &dir, const QString &name, const QElapsedTimer &clock, const Knobs &knobs)
{
    while (!QFile::exists(dir + '/' + name)) {
        if (stopped(dir, clock, knobs))
            return false;
        idle(20);
    }
    return true;
}

} // namespace

int runProbe(int clients, const QString &dir)
{
    const Knobs knobs = Knobs::fromEnvironment();
    QElapsedTimer clock;
    clock.start();
    WatchedUnit probe(clients); // the port after every client's
    if (!probe.bound())
        return 1;
    const QByteArray port = QByteArray::number(probe.port()) + ' ';
    if (awaitFile(dir, QStringLiteral("probe.join"), clock, knobs)) {
        const qint64 at = monoMs();
        probe.unit().regToServer(kAddress, kServerPort);
        writeAtomically(dir + QStringLiteral("/probe.joined"), port + QByteArray::number(at));
    }
    if (awaitFile(dir, QStringLiteral("probe.leave"), clock, knobs)) {
        const qint64 at = monoMs();
        probe.unit().unRegFromServer(kAddress, kServerPort);
        writeAtomically(dir + QStringLiteral("/probe.left"), port + QByteArray::number(at));
    }
    while (!stopped(dir, clock, knobs))
        idle(100);
    return 0;
}

int runJoiner(int clients, int index, int process, const QString &dir)
{
    const Knobs knobs = Knobs::fromEnvironment();
    QElapsedTimer clock;
    clock.start();
    Units units;
    std::vector<int> plan; // the joins it makes, in order
    for (int m = index; m < churnChanges(knobs); m += knobs.churnProcs) {
        units.push_back(std::make_unique<WatchedUnit>(clients + 1 + m));
        if (!units.back()->bound())
            return 1;
        plan.push_back(m);
    }
    int joined = 0;
    if (awaitFile(dir, QStringLiteral("churn.start"), clock, knobs)) {
        const qint64 start = readFile(dir + QStringLiteral("/churn.start")).trimmed().toLongLong();
        PhaseFollower follower(units, clients, -1, process, dir);
        while (!stopped(dir, clock, knobs)) {
            for (; joined < int(plan.size()) && monoMs() - start >= joinDueMs(plan[size_t(joined)]); ++joined) {
                units[size_t(joined)]->unit().regToServer(kAddress, kServerPort);
                units[size_t(joined)]->registered = true;
            }
            idle(20);
            follower.step();
        }
    }
    std::printf("joiner %d: %d of %zu joins made\n", index, joined, plan.size());
    return 0;
}

} // namespace bench
