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

namespace {
// The Peers alive, whose units settle() watches.
QList<const Peer *> &livePeers()
{
    static QList<const Peer *> peers;
    return peers;
}

bool quiet(const MUDPUnit &u)
{
    const QUdpSocket *socket = u.parts().socket.socket();
    return !u.hasQueuedWrites() && u.parts().socket.backlogSize() == 0 &&
           !(socket->state() == QAbstractSocket::BoundState && socket->hasPendingDatagrams());
}
} // namespace

Peer::Peer(const char *name, const char *addr, unsigned short port, bool bind)
    : name(name), addr(addr), port(port), bound(bind)
{
    ensureApplication();
    livePeers().append(this);
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

Peer::~Peer() { livePeers().removeOne(this); }

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

bool settle(int ms)
{
    // A datagram written is in its receiver's socket at once (loopback), so
    // three rounds in a row with nothing to write or read mean that nothing
    // is on its way.
    int quietRounds = 0;
    return pumpUntil(
        [&] {
            bool all = true;
            for (const Peer *p : livePeers())
                all = all && quiet(*p->u);
            quietRounds = all ? quietRounds + 1 : 0;
            return quietRounds >= 3;
        },
        ms);
}
