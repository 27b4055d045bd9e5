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

} // namespace

TEST(RegistryBurst, FortyClientsRegisteringAtOnce)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", kServerPort);
    const auto clients = numberedClients(kClients, kServerPort + 1);

    // The server's datagrams in order, and the wait round of each REGACC;
    // each client's round of its REG and the sizes of the lists it merged.
    std::vector<Sent> sent;
    QSet<qint64> lists;
    QMap<unsigned short, quint64> regRound, accRound;
    server.unit().setOutgoingTap([&](QByteArray &d, QHostAddress &, quint16 &port) {
        const QByteArray text = d.mid(48);
        const qint64 id = identity(d);
        if (text.startsWith("PEERLIST$"))
            lists.insert(id);
        sent.push_back({lists.contains(id) ? id : 0, port});
        if (text.startsWith("REGACC$"))
            accRound.insert(port, MUDPUnit::waitRounds());
        return true;
    });
    QMap<unsigned short, QList<int>> merged;
    for (auto &c : clients) {
        Peer *peer = c.get();
        peer->unit().setOutgoingTap([&regRound, peer](QByteArray &d, QHostAddress &, quint16 &) {
            if (d.mid(48).startsWith("REG$"))
                regRound.insert(peer->port, MUDPUnit::waitRounds());
            return true;
        });
        UnitInspector::onUserListChanged(peer->unit(), [&merged, peer] {
            merged[peer->port] << UnitInspector::liveUserList(peer->unit()).size();
        });
    }

    for (auto &c : clients) {
        UnitInspector::noteRegSent(c->unit(), "127.0.0.2", kServerPort); // as regToServer does
        UnitInspector::sendProtocol(c->unit(), "REG$" + QByteArray(UnitInspector::localName(c->unit())),
                                    "127.0.0.2", kServerPort);
    }
    const bool allListed = pumpUntil(
        [&] {
            for (auto &c : clients)
                if (UnitInspector::liveUserList(c->unit()).size() != kClients - 1)
                    return false;
            return true;
        },
        15000);
    server.unit().setOutgoingTap(nullptr);
    for (auto &c : clients)
        c->unit().setOutgoingTap(nullptr);
    ASSERT_TRUE(allListed);
    EXPECT_EQ(UnitInspector::clientList(server.unit()).size(), kClients);

    // Every REG was answered within one round of reaching the server: at
    // most one whole round ran between its writing and its REGACC (the
    // counter counts round starts).
    for (auto &c : clients) {
        ASSERT_TRUE(regRound.contains(c->port) && accRound.contains(c->port)) << c->port;
        EXPECT_LE(accRound[c->port] - regRound[c->port], 2u) << c->port;
    }

    // Pushes never overlap: once a list's datagrams begin, the previous
    // list's have ended, so no walk ran nested inside another.
    QList<qint64> order;
    for (const Sent &s : sent) {
        if (!s.list)
            continue;
        if (order.isEmpty() || order.last() != s.list) {
            EXPECT_FALSE(order.contains(s.list)) << "a list resumed after a newer one began";
            order << s.list;
        }
    }
    EXPECT_EQ(server->listPushStats().pushes, order.size());
    EXPECT_LT(order.size(), kClients); // changes during a push joined one more push

    // Lists only grew during the burst: a client that merged a shorter list
    // after a longer one got them out of order.
    for (auto &c : clients) {
        const QList<int> &sizes = merged[c->port];
        ASSERT_FALSE(sizes.isEmpty());
        for (int k = 1; k < sizes.size(); ++k)
            EXPECT_LE(sizes[k - 1], sizes[k]) << "client " << c->port << " list " << k;
        EXPECT_EQ(sizes.last(), kClients - 1);
    }
}
