// The client side of the registry benchmark: many units in one process.
#include <QElapsedTimer>
#include <QFile>
#include <cstdio>
#include <memory>
#include <vector>

#include "bench_roles.h"
#include "unit/mudp_unit.h"

namespace bench {

namespace {

int listed(MUDPUnit &u, MUDPUnit::List which)
{
    int count = 0;
    u.exportList(which, &count);
    return count;
}

} // namespace

int runClients(int clients, int first, int count, int process, const QString &dir)
{
    std::vector<std::unique_ptr<MUDPUnit>> units;
    for (int i = first; i < first + count; ++i) {
        auto u = std::make_unique<MUDPUnit>();
        u->setLocalName(QByteArray("client-" + QByteArray::number(i)).constData());
        u->setLocalAddr(kAddress);
        if (!u->bindPort(static_cast<unsigned short>(kServerPort + 1 + i))) {
            std::fprintf(stderr, "clients: cannot bind %d\n", kServerPort + 1 + i);
            return 1;
        }
        applyReceiveBuffer(*u);
        units.push_back(std::move(u));
    }

    QElapsedTimer clock;
    clock.start();
    int retries = 0;
    for (auto &u : units) {
        for (int attempt = 0; attempt < 3 && listed(*u, MUDPUnit::List::Server) == 0 && clock.elapsed() < 170000;
             ++attempt) {
            retries += attempt > 0;
            u->regToServer(kAddress, kServerPort);
        }
    }
    const double regSeconds = double(clock.elapsed()) / 1000.0;

    // Until every unit lists all other clients (bounded).
    auto allListed = [&] {
        for (auto &u : units)
            if (listed(*u, MUDPUnit::List::LiveUser) != clients - 1)
                return false;
        return true;
    };
    while (!allListed() && clock.elapsed() < 175000)
        idle(100);
    const bool done = allListed();
    std::printf("clients %d..%d: registered in %.2f s (%d retries), %s after %.2f s\n", first, first + count - 1,
                regSeconds, retries, done ? "all listed" : "NOT all listed", double(clock.elapsed()) / 1000.0);
    std::fflush(stdout);
    if (done) {
        QFile f(QStringLiteral("%1/done.%2").arg(dir).arg(process));
        f.open(QIODevice::WriteOnly);
    }

    // Keep the heartbeats going until the server has measured.
    while (!QFile::exists(dir + QStringLiteral("/stop")) && clock.elapsed() < 240000)
        idle(100);
    return done ? 0 : 1;
}

} // namespace bench
