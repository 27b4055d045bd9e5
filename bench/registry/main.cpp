// registry_bench server CLIENTS PROCESSES STEADY_SECONDS DIR
// registry_bench clients CLIENTS FIRST COUNT PROCESS DIR
// registry_bench probe CLIENTS DIR
// registry_bench joiner CLIENTS INDEX PROCESS DIR
#include <QCoreApplication>
#include <QFile>
#include <QEventLoop>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <sys/resource.h>

#include "bench_roles.h"
#include "stall_meter.h"
#include "unit/mudp_unit.h"

namespace bench {

namespace {
int knob(const char *name, int fallback)
{
    bool ok = false;
    const int v = qEnvironmentVariableIntValue(name, &ok);
    return ok ? v : fallback;
}
} // namespace

Knobs Knobs::fromEnvironment()
{
    Knobs k;
    k.regLimitS = knob("REG_LIMIT", k.regLimitS);
    k.lifeS = knob("LIFE", k.lifeS);
    k.probe = knob("PROBE", 0) != 0;
    k.probeLimitS = knob("PROBE_LIMIT", k.probeLimitS);
    k.churnS = knob("CHURN", k.churnS);
    k.churnProcs = knob("CHURN_PROCS", k.churnProcs);
    k.agreeLimitS = knob("AGREE_LIMIT", k.agreeLimitS);
    k.clientProcs = knob("CLIENT_PROCS", k.clientProcs);
    return k;
}

int leaveOf(int clients, int number, const Knobs &k)
{
    const int procs = qMax(1, k.clientProcs);
    const int per = (clients + procs - 1) / procs; // numbers of one process (run.sh's split)
    const int m = (number % per) * procs + number / per;
    return m < churnChanges(k) ? m : -1;
}

qint64 monoMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool touch(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}

bool writeAtomically(const QString &path, const QByteArray &content)
{
    const QString part = path + QStringLiteral(".part");
    QFile f(part);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        return false;
    f.close();
    return std::rename(QFile::encodeName(part).constData(), QFile::encodeName(path).constData()) == 0;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

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
    bench::TimedApplication app(argc, argv);
    if (argc == 6 && std::strcmp(argv[1], "server") == 0)
        return bench::runServer(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), QString::fromLocal8Bit(argv[5]));
    if (argc == 7 && std::strcmp(argv[1], "clients") == 0)
        return bench::runClients(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]),
                                 QString::fromLocal8Bit(argv[6]));
    if (argc == 4 && std::strcmp(argv[1], "probe") == 0)
        return bench::runProbe(atoi(argv[2]), QString::fromLocal8Bit(argv[3]));
    if (argc == 6 && std::strcmp(argv[1], "joiner") == 0)
        return bench::runJoiner(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), QString::fromLocal8Bit(argv[5]));
    std::fprintf(stderr, "usage: registry_bench server CLIENTS PROCESSES STEADY_SECONDS DIR\n"
                         "       registry_bench clients CLIENTS FIRST COUNT PROCESS DIR\n"
                         "       registry_bench probe CLIENTS DIR\n"
                         "       registry_bench joiner CLIENTS INDEX PROCESS DIR\n");
    return 2;
}
