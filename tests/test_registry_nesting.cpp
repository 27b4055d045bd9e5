// Table entries removed while work on them is under way: a tick while a
// message to every client is being written, ticks and handlers inside walks
// that notify the host. A removed record is never touched again
// (AddressSanitizer runs these), and the work still reaches the entries that
// remain.
#include <gtest/gtest.h>

#include <QMap>
#include <QTimer>

#include "registry_support.h"

namespace {

bool liveCount(Peer &p, int n) { return p.unit().parts().peers.liveUsers().all().size() == n; }

} // namespace

TEST(RegistryNesting, TickInsideASendToEveryClient)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", 46500);
    Peer alice("alice", "127.0.0.3", 46501), bob("bob", "127.0.0.4", 46502), carol("carol", "127.0.0.5", 46503);
    for (Peer *c : {&alice, &bob, &carol})
        (*c)->regToServer("127.0.0.2", 46500);
    ASSERT_TRUE(pumpUntil([&] { return liveCount(alice, 2) && liveCount(bob, 2) && liveCount(carol, 2); }));

    // Alice is marked; the tick that removes her runs while the message to
    // every client is being written.
    server.unit().parts().peers.clients().all()[0]->life = -9999;
    bool ticked = false;
    server.unit().setOutgoingTap([&](QByteArray &d, QHostAddress &, quint16 &port) {
        if (!ticked && port == 46501 && d.mid(48).startsWith("DATA$")) {
            ticked = true;
            QTimer::singleShot(0, &server.unit(), [&] { server.tick(); });
        }
        return true;
    });
    const QByteArray block(1200, 'b');
    server->sendBufferToClient(block.constData(), static_cast<int>(block.size()), "0.0.0.0", 0, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return server.hasLog("delete expired clientalice 127.0.0.2:46501"); }));
    server.unit().setOutgoingTap(nullptr);
    EXPECT_EQ(server.unit().parts().peers.clients().all().size(), 2);

    // Every client that was registered when the send began gets the block.
    EXPECT_TRUE(pumpUntil([&] { return !bob.received.isEmpty() && !carol.received.isEmpty(); }))
        << "bob " << bob.received.size() << ", carol " << carol.received.size();
    EXPECT_TRUE(pumpUntil([&] { return liveCount(bob, 1) && liveCount(carol, 1); }));
}

TEST(RegistryNesting, TwoClientsExpiringInOneTickSendTwoLists)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", 46510);
    UnitInspector::wholeListsOnly(server.unit()); // the lists counted below
    Peer alice("alice", "127.0.0.3", 46511), bob("bob", "127.0.0.4", 46512), carol("carol", "127.0.0.5", 46513);
    for (Peer *c : {&alice, &bob, &carol})
        (*c)->regToServer("127.0.0.2", 46510);
    ASSERT_TRUE(pumpUntil([&] { return liveCount(carol, 2); }));
    ASSERT_TRUE(settle()); // every list acknowledged: the tick below resends none

    const auto &clients = server.unit().parts().peers.clients().all();
    clients[0]->life = -9999;
    clients[1]->life = -9999;
    QMap<int, int> listsTo; // destination port -> first packets of PEERLIST
    server.unit().setOutgoingTap([&](QByteArray &d, QHostAddress &, quint16 &port) {
        if (d.mid(48).startsWith("PEERLIST$"))
            ++listsTo[port];
        return true;
    });
    server.tick();
    server.unit().setOutgoingTap(nullptr);
    EXPECT_EQ(server.countLogs("delete expired client"), 2);
    EXPECT_EQ(listsTo.value(46511), 0);
    EXPECT_EQ(listsTo.value(46512), 1); // the list without alice
    EXPECT_EQ(listsTo.value(46513), 2); // that one, then the one without bob
    ASSERT_TRUE(pumpUntil([&] { return liveCount(carol, 0); }));
}

TEST(RegistryNesting, ServerAddedDuringTheHeartbeatWalkIsReached)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer one("one", "127.0.0.2", 46520), two("two", "127.0.0.3", 46530);
    Peer alice("alice", "127.0.0.4", 46521);
    alice->regToServer("127.0.0.2", 46520);

    // While the ALIVE to server one goes out, an acceptance from server two
    // is handled and appends its entry; the same walk then sends to it too.
    QMap<int, int> aliveTo;
    alice.unit().setOutgoingTap([&](QByteArray &d, QHostAddress &, quint16 &port) {
        if (d.mid(48).startsWith("ALIVE$") && ++aliveTo[port] == 1 && port == 46520)
            acceptAsServer(alice.unit(), "REGACC$two$0$0$0$127.0.0.3$46521", "127.0.0.3", 46530);
        return true;
    });
    alice.unit().parts().heartbeat.setTickCount(4);
    alice.tick();
    alice.unit().setOutgoingTap(nullptr);
    EXPECT_EQ(alice.unit().parts().peers.servers().all().size(), 2);
    EXPECT_EQ(aliveTo.value(46520), 1);
    EXPECT_EQ(aliveTo.value(46530), 1);
}
