// The client side of the registry benchmark: many units in one process.
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>

#include "bench_roles.h"
#include "phase_follower.h"
#include "watched_unit.h"

namespace bench {

namespace {

// Whether every registered unit lists every other client; looks again only
// at units whose list changed.
bool allListed(Units &units, std::vector<char> &listed, int clients)
{
    bool all = true;
    for (size_t i = 0; i < units.size(); ++i) {
        if (units[i]->changedFor(WatchedUnit::Listed))
            listed[i] = units[i]->liveCount() == clients - 1;
        all = all && listed[i];
    }
    return all;
}

} // namespace

int runClients(int clients, int first, int count, int process, const QString &dir)
{
    const Knobs knobs = Knobs::fromEnvironment();
    Units units;
    for (int i = first; i < first + count; ++i) {
        units.push_back(std::make_unique<WatchedUnit>(i));
        if (!units.back()->bound()) {
            std::fprintf(stderr, "clients: cannot bind %d\n", clientPort(i));
            return 1;
        }
    }

    QElapsedTimer clock;
    clock.start();
    const qint64 regLimitMs = qint64(knobs.regLimitS) * 1000;
    int retries = 0;
    for (auto &u : units) {
        for (int attempt = 0; attempt < 3 && clock.elapsed() < regLimitMs - 10000; ++attempt) {
            int servers = 0;
            u->unit().exportList(MUDPUnit::List::Server, &servers);
            if (servers > 0)
                break;
            retries += attempt > 0;
            u->unit().regToServer(kAddress, kServerPort);
        }
        u->registered = true;
    }
    const double regSeconds = double(clock.elapsed()) / 1000.0;

    // Until every unit lists all other clients (bounded).
    std::vector<char> listed(units.size());
    while (!allListed(units, listed, clients) && clock.elapsed() < regLimitMs - 5000)
        idle(100);
    const bool done = allListed(units, listed, clients);
    std::printf("clients %d..%d: registered in %.2f s (%d retries), %s after %.2f s\n", first, first + count - 1,
                regSeconds, retries, done ? "all listed" : "NOT all listed", double(clock.elapsed()) / 1000.0);
    std::fflush(stdout);
    if (done)
        touch(QStringLiteral("%1/done.%2").arg(dir).arg(process));

    // Heartbeats, and the later phases, until the server has measured.
    PhaseFollower follower(units, clients, first, process, dir);
    const qint64 lifeMs = qint64(knobs.lifeS) * 1000;
    while (!QFile::exists(dir + QStringLiteral("/stop")) && clock.elapsed() < lifeMs) {
        idle(100);
        follower.step();
    }
    if (follower.leavesMade())
        std::printf("clients %d..%d: %d leaves made, the longest call %lld ms\n", first, first + count - 1,
                    follower.leavesMade(), static_cast<long long>(follower.longestLeaveMs()));
    return done ? 0 : 1;
}

} // namespace bench
