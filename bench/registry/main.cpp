// registry_bench server CLIENTS PROCESSES STEADY_SECONDS DIR
// registry_bench clients CLIENTS FIRST COUNT PROCESS DIR
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>

#include "bench_roles.h"
#include "unit/mudp_unit.h"

namespace bench {

int applyReceiveBuffer(MUDPUnit &unit)
{
    auto *socket = unit.findChild<QUdpSocket *>();
    if (!socket)
        return 0;
    const int wanted = qEnvironmentVariableIntValue("RCVBUF");
    if (wanted > 0)
        socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, wanted);
    return socket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
}

void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long peakRssKb()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

} // namespace bench

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 6 && std::strcmp(argv[1], "server") == 0)
        return bench::runServer(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), QString::fromLocal8Bit(argv[5]));
    if (argc == 7 && std::strcmp(argv[1], "clients") == 0)
        return bench::runClients(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]),
                                 QString::fromLocal8Bit(argv[6]));
    std::fprintf(stderr, "usage: registry_bench server CLIENTS PROCESSES STEADY_SECONDS DIR\n"
                         "       registry_bench clients CLIENTS FIRST COUNT PROCESS DIR\n");
    return 2;
}
