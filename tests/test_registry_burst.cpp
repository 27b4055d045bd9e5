// A burst of registrations at one server: one push at a time, each client
// answered within a round, and every client left with the final list, its
// lists arriving in the order the server sent them.
#include <gtest/gtest.h>

#include <QMap>
#include <QSet>
#include <memory>
#include <vector>

#include "registry_support.h"

namespace {

constexpr int kClients = 40;
constexpr unsigned short kServerPort = 46700;

struct Sent {
    qint64 list;         // identity of a PEERLIST message, 0 for other words
    unsigned short port; // destination
};

qint64 identity(const QByteArray &d)
{
    NOLVUDPPACKET p;
    std::memcpy(&p, d.constData(), sizeof p);
    return (qint64(p.date) << 32) | quint32(p.time);
}

// What the units of the burst are seen doing: the server's datagrams in
// order, and the wait round of each REGACC; each client's round of its REG
// and the sizes of the lists it merged.
struct Trace {
    std::vector<Sent> sent;
    QSet<qint64> lists;
    QMap<unsigned short, quint64> regRound, accRound;
    QMap<unsigned short, QList<int>> merged;

    void watchServer(Peer &server)
    {
        server.unit().setOutgoingTap([this](QByteArray &d, QHostAddress &, quint16 &port) {
            const QByteArray text = d.mid(48);
            const qint64 id = identity(d);
            if (text.startsWith("PEERLIST$"))
                lists.insert(id);
            sent.push_back({lists.contains(id) ? id : 0, port});
            if (text.startsWith("REGACC$"))
                accRound.insert(port, MUDPUnit::waitRounds());
            return true;
        });
    }
    void watchClient(Peer *peer)
    {
        peer->unit().setOutgoingTap([this, peer](QByteArray &d, QHostAddress &, quint16 &) {
            if (d.mid(48).startsWith("REG$"))
                regRound.insert(peer->port, MUDPUnit::waitRounds());
            return true;
        });
        UnitInspector::onUserListChanged(peer->unit(), [this, peer] {
            merged[peer->port] << peer->unit().parts().peers.liveUsers().all().size();
        });
    }
    // The lists in the order their datagrams began; a list resumed after a
    // newer one began fails.
    QList<qint64> pushOrder() const
    {
        QList<qint64> order;
        for (const Sent &s : sent) {
            if (!s.list)
                continue;
            if (order.isEmpty() || order.last() != s.list) {
                EXPECT_FALSE(order.contains(s.list)) << "a list resumed after a newer one began";
                order << s.list;
            }
        }
        return order;
    }
};

} // namespace

TEST(RegistryBurst, FortyClientsRegisteringAtOnce)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", kServerPort);
    const auto clients = numberedClients(kClients, kServerPort + 1);
    Trace trace;
    trace.watchServer(server);
    for (auto &c : clients)
        trace.watchClient(c.get());

    for (auto &c : clients) {
        c->unit().parts().registration.pending().sent("127.0.0.2", kServerPort); // as regToServer does
        UnitInspector::sendProtocol(c->unit(), "REG$" + QByteArray(c->unit().parts().self.name), "127.0.0.2",
                                    kServerPort);
    }
    const bool allListed = pumpUntil(
        [&] {
            for (auto &c : clients)
                if (c->unit().parts().peers.liveUsers().all().size() != kClients - 1)
                    return false;
            return true;
        },
        15000);
    server.unit().setOutgoingTap(nullptr);
    for (auto &c : clients)
        c->unit().setOutgoingTap(nullptr);
    ASSERT_TRUE(allListed);
    EXPECT_EQ(server.unit().parts().peers.clients().all().size(), kClients);

    // Every REG was answered within one round of reaching the server: at
    // most one whole round ran between its writing and its REGACC (the
    // counter counts round starts).
    for (auto &c : clients) {
        ASSERT_TRUE(trace.regRound.contains(c->port) && trace.accRound.contains(c->port)) << c->port;
        EXPECT_LE(trace.accRound[c->port] - trace.regRound[c->port], 2u) << c->port;
    }

    // Pushes never overlap: once a list's datagrams begin, the previous
    // list's have ended, so no walk ran nested inside another.
    const QList<qint64> order = trace.pushOrder();
    EXPECT_EQ(server->listPushStats().pushes, order.size());
    EXPECT_LT(order.size(), kClients); // changes during a push joined one more push

    // Lists only grew during the burst: a client that merged a shorter list
    // after a longer one got them out of order.
    for (auto &c : clients) {
        const QList<int> &sizes = trace.merged[c->port];
        ASSERT_FALSE(sizes.isEmpty());
        for (int k = 1; k < sizes.size(); ++k)
            EXPECT_LE(sizes[k - 1], sizes[k]) << "client " << c->port << " list " << k;
        EXPECT_EQ(sizes.last(), kClients - 1);
    }
}
