#include "support/peer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkInterface>
#include <QTimer>
#include <QUdpSocket>

void ensureApplication()
{
    static int argc = 1;
    static char name[] = "mudp-tests";
    static char *argv[] = {name, nullptr};
    if (!QCoreApplication::instance())
        new QCoreApplication(argc, argv);
}

bool haveTestAddresses()
{
    ensureApplication();
    QUdpSocket probe;
    return probe.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0);
}

Peer::Peer(const char *name, const char *addr, unsigned short port, bool bind)
    : name(name), addr(addr), port(port), bound(bind)
{
    ensureApplication();
    restart();
}

void Peer::restart()
{
    u.reset();
    u = std::make_unique<MUDPUnit>();
    UnitInspector::timer(*u)->stop();
    u->setLocalName(name);
    u->setLocalAddr(addr);
    if (port && bound)
        u->bindPort(port);
    UnitInspector::onLog(*u, [this](const QString &line) { logs << line.mid(9); });
    UnitInspector::onData(*u, [this](const QByteArray &data) { received << data; });
}

Peer::~Peer() = default;

int Peer::countLogs(const QString &prefix) const
{
    int n = 0;
    for (const QString &l : logs)
        if (l.startsWith(prefix))
            ++n;
    return n;
}

void pump(int ms)
{
    MUDPUnit::waitWithEvents(ms);
}

bool pumpUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        MUDPUnit::waitWithEvents(5);
    }
    return true;
}
