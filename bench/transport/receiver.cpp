// Benchmark receiver: a unit on 127.0.0.3:46502 that reports, for every data
// block it receives, the arrival time, its CPU time so far, whether the bytes
// are intact, and how many lost-packet requests it has sent. It quits after
// the expected number of blocks or when its time limit is up.
//
//   mudp_bench_receiver <blocks> <seconds>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "bench_host.h"
#include "unit/mudp_unit.h"

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s blocks seconds\n", argv[0]);
        return 2;
    }
    const int expected = std::atoi(argv[1]);
    const int seconds = std::atoi(argv[2]);
    QCoreApplication &app = bench::application(argc, argv);

    MUDPUnit unit;
    unit.setLocalName("receiver");
    unit.setLocalAddr("127.0.0.3");
    if (!bench::keyFromEnvironment(unit)) {
        std::fprintf(stderr, "the unit refused the benchmark key\n");
        return 1;
    }
    if (!unit.bindPort(46502)) {
        std::fprintf(stderr, "receiver: cannot bind 127.0.0.3:46502\n");
        return 1;
    }
    bench::Host host;
    int lostRequests = 0, repeats = 0, delivered = 0;
    host.onLog = [&](const QString &line) {
        if (line.startsWith(QLatin1String("Request for Lost Packet:")) ||
            line.startsWith(QLatin1String("Request for Error Packet:")))
            ++lostRequests;
        else if (line.startsWith(QLatin1String("Repeated Data:")))
            ++repeats;
    };
    host.onData = [&](const char *data, int size) {
        const int64_t t = bench::monotonicNs();
        const int64_t cpu = bench::cpuUs();
        // The RECEIVED goes out when this returns: check the bytes later.
        const QByteArray copy(data, size);
        const int requests = lostRequests, repeated = repeats;
        QTimer::singleShot(0, &app, [=, &app, &delivered] {
            const bool intact = bench::matchesPattern(copy.constData(), copy.size());
            std::printf("delivered %d %lld %lld %d %d %d\n", int(copy.size()), (long long)t, (long long)cpu,
                        intact ? 1 : 0, requests, repeated);
            std::fflush(stdout);
            if (++delivered == expected)
                QTimer::singleShot(300, &app, &QCoreApplication::quit); // let the RECEIVED go out
        });
    };
    unit.setHostWindow(&host.window);
    QTimer::singleShot(seconds * 1000, &app, [&] {
        std::fprintf(stderr, "receiver: time limit reached after %d of %d blocks\n", delivered, expected);
        app.exit(1);
    });
    std::printf("ready %lld\n", (long long)bench::cpuUs());
    std::fflush(stdout);
    return app.exec();
}
