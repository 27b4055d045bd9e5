// Several units in one process over real sockets: registration with one and
// with two servers, the user lists every client sees, unregistration and
// expiry with their notices, and refused registrations.
#include <gtest/gtest.h>

#include <QTimer>

#include "registry_support.h"

namespace {

constexpr const char *kServerIp = "127.0.0.2";

QStringList names(const QList<PEERINFO *> &list)
{
    QStringList out;
    for (const PEERINFO *p : list)
        out << QString::fromLatin1(field(p->name));
    return out;
}

bool liveCount(Peer &p, int n) { return p.unit().parts().peers.liveUsers().all().size() == n; }

// Runs one tick of p as soon as it has logged a line starting with prefix, so
// that a blocking unregistration sees its marked entry go.
void tickAfterLog(Peer &p, const QString &prefix)
{
    UnitInspector::onLog(p.unit(), [&p, prefix](const QString &line) {
        if (line.mid(9).startsWith(prefix))
            QTimer::singleShot(0, &p.unit(), [&p] { p.tick(); });
    });
}

// The server's record of client i of ThreeClientsEachSeeTheOtherTwo.
void expectClient(const PEERINFO *c, int i)
{
    EXPECT_EQ(field(c->ip), kServerIp); // loopback traffic to 127.0.0.2 comes from it
    EXPECT_EQ(c->port, 46101 + i);
    EXPECT_EQ(field(c->localIp), QByteArray("127.0.0.") + QByteArray::number(3 + i));
    EXPECT_EQ(c->localPort, 46101 + i);
    EXPECT_EQ(field(c->serverName), "server");
    EXPECT_EQ(field(c->serverIp), kServerIp);
    EXPECT_EQ(c->serverPort, 46100);
    EXPECT_EQ(c->access, 1);
    EXPECT_TRUE(zeroTail(c->name) && zeroTail(c->ip) && zeroTail(c->localIp) && zeroTail(c->serverName) &&
                zeroTail(c->serverIp));
    EXPECT_EQ(c->padding, 0);
}

// A server that never answers the client's heartbeats goes after ten ticks,
// with its users.
void expectSilentServerExpires(Peer &alice)
{
    QStringList aliceTrail;
    RecordingWindow aliceWindow(&aliceTrail);
    alice->setHostWindow(aliceWindow.handle());
    traceSignals(alice.unit(), &aliceTrail);
    WordCounter alive(alice.unit(), "ALIVE");
    alive.drop = true;
    // Its heartbeat went unanswered: two ALIVEs on each tick after it, the
    // second a little after the first.
    for (int i = 0; i < 9; ++i) {
        alice.tick();
        if (i >= 5) {
            ASSERT_TRUE(pumpUntil([&] { return alive.count == 1 + (i - 4) * 2; })) << alive.count;
        }
    }
    EXPECT_EQ(alive.count, 1 + 4 * 2);
    ASSERT_EQ(alice.unit().parts().peers.servers().all().size(), 1);
    alice.tick();
    EXPECT_TRUE(alice.unit().parts().peers.servers().all().isEmpty());
    EXPECT_TRUE(alice.unit().parts().peers.liveUsers().all().isEmpty());
    EXPECT_TRUE(alice.hasLog("delete expired serverserver 127.0.0.2:46140"));
    EXPECT_EQ(withoutLogs(aliceTrail),
              QStringList({"userListChanged", "list:101", "list:100", "serverChanged:127.0.0.2:46140:1"}));
}

} // namespace

TEST(RegistryScenario, ThreeClientsEachSeeTheOtherTwo)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", kServerIp, 46100);
    Peer alice("alice", "127.0.0.3", 46101), bob("bob", "127.0.0.4", 46102), carol("carol", "127.0.0.5", 46103);

    EXPECT_STREQ(alice->getAddrForPeer(), "");
    EXPECT_EQ(alice->getPortForPeer(), 0);
    for (Peer *c : {&alice, &bob, &carol}) {
        (*c)->regToServer(kServerIp, 46100);
        EXPECT_TRUE(c->hasLog("Reg Sucess")) << c->logs.join('\n').toStdString();
    }
    ASSERT_TRUE(pumpUntil([&] { return liveCount(alice, 2) && liveCount(bob, 2) && liveCount(carol, 2); }));

    // The server holds the three clients in registration order, as it saw them.
    const auto &clients = server.unit().parts().peers.clients().all();
    ASSERT_EQ(names(clients), QStringList({"alice", "bob", "carol"}));
    for (int i = 0; i < 3; ++i)
        expectClient(clients[i], i);

    // Each client sees the other two, never itself, as reported by the server.
    EXPECT_EQ(names(alice.unit().parts().peers.liveUsers().all()), QStringList({"bob", "carol"}));
    EXPECT_EQ(names(bob.unit().parts().peers.liveUsers().all()), QStringList({"alice", "carol"}));
    EXPECT_EQ(names(carol.unit().parts().peers.liveUsers().all()), QStringList({"alice", "bob"}));
    const PEERINFO *seen = bob.unit().parts().peers.liveUsers().all()[1];
    EXPECT_EQ(seen->port, 46103);
    EXPECT_EQ(field(seen->serverName), "server");
    EXPECT_EQ(field(seen->serverIp), kServerIp);
    EXPECT_EQ(seen->serverPort, 46100);
    EXPECT_EQ(seen->access, 0);
    EXPECT_EQ(seen->life, 0);

    // The server entry and the own address as the server saw it.
    ASSERT_EQ(alice.unit().parts().peers.servers().all().size(), 1);
    const PEERINFO *s = alice.unit().parts().peers.servers().all()[0];
    EXPECT_EQ(field(s->name), "server");
    EXPECT_EQ(s->port, 46100);
    EXPECT_EQ(s->access, 1);
    EXPECT_TRUE(zeroTail(s->serverName) && s->serverIp[0] == '\0' && s->serverPort == 0);
    EXPECT_STREQ(alice->getAddrForPeer(), kServerIp);
    EXPECT_EQ(alice->getPortForPeer(), 46101);
    EXPECT_EQ(server.countLogs("Accept peer regist "), 3);

    // Registering again with a server in the list sends nothing.
    WordCounter reg(alice.unit(), "REG");
    alice->regToServer(kServerIp, 46100);
    EXPECT_EQ(reg.count, 0);
    EXPECT_TRUE(alice.hasLog("Peer existserver"));
}

TEST(RegistryScenario, ListsOfTwoServersCoexist)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer s1("one", "127.0.0.2", 46110), s2("two", "127.0.0.3", 46120);
    Peer alice("alice", "127.0.0.4", 46111), bob("bob", "127.0.0.5", 46112), carol("carol", "127.0.0.6", 46113);
    for (Peer *c : {&alice, &bob}) {
        (*c)->regToServer("127.0.0.2", 46110);
        (*c)->regToServer("127.0.0.3", 46120);
    }
    carol->regToServer("127.0.0.3", 46120);
    ASSERT_TRUE(pumpUntil([&] { return liveCount(alice, 3) && liveCount(bob, 3) && liveCount(carol, 2); }));

    // The same user reported by two servers is two entries.
    const auto &live = alice.unit().parts().peers.liveUsers().all();
    EXPECT_TRUE(alice.unit().parts().peers.findLiveUser("127.0.0.2", 46112, "bob", "127.0.0.2", 46110));
    EXPECT_TRUE(alice.unit().parts().peers.findLiveUser("127.0.0.3", 46112, "bob", "127.0.0.3", 46120));
    EXPECT_TRUE(alice.unit().parts().peers.findLiveUser("127.0.0.3", 46113, "carol", "127.0.0.3", 46120));

    // A path found to carol survives later lists of her server.
    PEERINFO *carolEntry = alice.unit().parts().peers.findLiveUser(nullptr, 0, "carol", nullptr, 0);
    ASSERT_TRUE(carolEntry);
    carolEntry->access = 1;

    // Server two drops bob; server one's report of bob stays.
    Peer dave("dave", "127.0.0.7", 46114);
    dave->regToServer("127.0.0.3", 46120);
    tickAfterLog(bob, "Unregist peer accepted by ");
    bob->unRegFromServer("127.0.0.3", 46120);
    EXPECT_TRUE(bob.hasLog("UnReg Sucess"));
    s2.tick();
    ASSERT_TRUE(pumpUntil([&] {
        return liveCount(alice, 3) &&
               !alice.unit().parts().peers.findLiveUser(nullptr, 46112, "bob", "127.0.0.3", 46120);
    }));
    EXPECT_TRUE(alice.unit().parts().peers.findLiveUser("127.0.0.2", 46112, "bob", "127.0.0.2", 46110));
    EXPECT_TRUE(alice.unit().parts().peers.findLiveUser("127.0.0.3", 46114, "dave", "127.0.0.3", 46120));
    EXPECT_EQ(alice.unit().parts().peers.findLiveUser("127.0.0.3", 46113, "carol", "127.0.0.3", 46120), carolEntry);
    EXPECT_EQ(carolEntry->access, 1);
    EXPECT_EQ(live.size(), 3);
}

TEST(RegistryScenario, UnregistrationNoticesInOrder)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", kServerIp, 46130);
    UnitInspector::wholeListsOnly(server.unit()); // the lists counted below
    Peer alice("alice", "127.0.0.3", 46131), bob("bob", "127.0.0.4", 46132);
    alice->regToServer(kServerIp, 46130);
    bob->regToServer(kServerIp, 46130);
    ASSERT_TRUE(pumpUntil([&] { return liveCount(alice, 1) && liveCount(bob, 1); }));
    ASSERT_TRUE(settle()); // the lists acknowledged: the ticks below resend none

    QStringList serverTrail, aliceTrail;
    RecordingWindow serverWindow(&serverTrail), aliceWindow(&aliceTrail);
    server->setHostWindow(serverWindow.handle());
    alice->setHostWindow(aliceWindow.handle());
    traceSignals(server.unit(), &serverTrail);
    traceSignals(alice.unit(), &aliceTrail);

    // Alice's tick runs as soon as the acceptance has marked her server entry.
    tickAfterLog(alice, "Unregist peer accepted by ");
    alice->unRegFromServer(kServerIp, 46130);

    EXPECT_EQ(server.logs.filter("Accept peer unregist alice").size(), 1);
    ASSERT_EQ(server.unit().parts().peers.clients().all().size(), 2);
    EXPECT_EQ(server.unit().parts().peers.clients().all()[0]->life, -9999);

    // Client side: the marked entry goes with the notices of an expiry.
    const QStringList aliceLogs = alice.logs.mid(alice.logs.indexOf("Commit Unreg Command"));
    ASSERT_GE(aliceLogs.size(), 4) << alice.logs.join('\n').toStdString();
    EXPECT_EQ(aliceLogs[1], "Unregist peer accepted by server");
    EXPECT_EQ(aliceLogs[2], "delete expired serverserver 127.0.0.2:46130");
    EXPECT_EQ(aliceLogs[3], "UnReg Sucess");
    EXPECT_EQ(withoutLogs(aliceTrail),
              QStringList({"userListChanged", "list:101", "list:100", "serverChanged:127.0.0.2:46130:1"}));
    EXPECT_TRUE(aliceTrail.contains("log:UnReg Sucess"));
    EXPECT_TRUE(alice.unit().parts().peers.servers().all().isEmpty());
    EXPECT_TRUE(alice.unit().parts().peers.liveUsers().all().isEmpty());

    // Server side: the next tick removes the client and tells the rest.
    serverTrail.clear();
    WordCounter lists(server.unit(), "PEERLIST");
    server.tick();
    EXPECT_EQ(withoutLogs(serverTrail), QStringList({"clientChanged", "list:102"}));
    EXPECT_TRUE(serverTrail.contains("log:delete expired clientalice 127.0.0.2:46131"));
    EXPECT_EQ(names(server.unit().parts().peers.clients().all()), QStringList({"bob"}));
    EXPECT_EQ(lists.count, 1);
    EXPECT_TRUE(pumpUntil([&] { return liveCount(bob, 0); }));

    // An unregistration nobody knows is refused and logged.
    Peer stranger("stranger", "127.0.0.5", 46133);
    stranger->unRegFromServer(kServerIp, 46130);
    EXPECT_TRUE(server.hasLog("Refuse peer unregist,already exist peer stranger"));
    EXPECT_TRUE(stranger.hasLog("Refused by Host ,user exist"));
    EXPECT_TRUE(stranger.hasLog("UnReg Sucess")); // it never had that server
}

TEST(RegistryScenario, ExpiryOfSilentClientsAndServers)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", kServerIp, 46140);
    UnitInspector::wholeListsOnly(server.unit()); // the lists counted below
    Peer alice("alice", "127.0.0.3", 46141), bob("bob", "127.0.0.4", 46142);
    alice->regToServer(kServerIp, 46140);
    bob->regToServer(kServerIp, 46140);
    ASSERT_TRUE(pumpUntil([&] { return liveCount(alice, 1) && liveCount(bob, 1); }));
    ASSERT_TRUE(settle()); // the lists acknowledged: the ticks below resend none

    QStringList trail;
    RecordingWindow window(&trail);
    server->setHostWindow(window.handle());
    traceSignals(server.unit(), &trail);

    // Bob keeps sending heartbeats (his fifth tick), alice stays silent.
    for (int i = 0; i < 5; ++i)
        server.tick();
    for (int i = 0; i < 5; ++i)
        bob.tick();
    ASSERT_TRUE(pumpUntil([&] { return server.unit().parts().peers.clients().all()[1]->life == 0; }));
    WordCounter lists(server.unit(), "PEERLIST");
    for (int i = 0; i < 4; ++i)
        server.tick();
    EXPECT_EQ(server.unit().parts().peers.clients().all().size(), 2);
    EXPECT_EQ(server.unit().parts().peers.clients().all()[0]->life, -9);
    server.tick(); // tenth silent tick for alice
    EXPECT_EQ(names(server.unit().parts().peers.clients().all()), QStringList({"bob"}));
    EXPECT_TRUE(server.hasLog("delete expired clientalice 127.0.0.2:46141"));
    EXPECT_EQ(withoutLogs(trail), QStringList({"clientChanged", "list:102"}));
    EXPECT_EQ(lists.count, 1);
    EXPECT_TRUE(pumpUntil([&] { return liveCount(bob, 0); }));
    ASSERT_TRUE(settle()); // and acknowledged

    // The last client expiring sends no list.
    for (int i = 0; i < 5; ++i)
        server.tick();
    EXPECT_TRUE(server.unit().parts().peers.clients().all().isEmpty());
    EXPECT_EQ(lists.count, 1);

    // Alice's server never answered her: after ten ticks it goes, with its users.
    expectSilentServerExpires(alice);
}

TEST(RegistryScenario, TakenNameIsRefused)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", kServerIp, 46150);
    Peer alice("alice", "127.0.0.3", 46151);
    alice->regToServer(kServerIp, 46150);

    // Same name from another address and port: refused, and the wait runs out.
    Peer imposter("alice", "127.0.0.4", 46152);
    imposter->regToServer(kServerIp, 46150);
    EXPECT_TRUE(server.hasLog("Refuse peer regist,already exist peer alice"));
    const int refused = static_cast<int>(imposter.logs.indexOf("Refused by Host ,user exist"));
    ASSERT_GE(refused, 0) << imposter.logs.join('\n').toStdString();
    EXPECT_EQ(imposter.logs.indexOf("Reg Failed"), refused + 1);
    EXPECT_TRUE(imposter.unit().parts().peers.servers().all().isEmpty());
    EXPECT_EQ(server.unit().parts().peers.clients().all().size(), 1);

    // Letter case makes another name.
    Peer other("Alice", "127.0.0.5", 46153);
    other->regToServer(kServerIp, 46150);
    EXPECT_TRUE(other.hasLog("Reg Sucess"));
    EXPECT_EQ(server.unit().parts().peers.clients().all().size(), 2);

    // A REG without a name matches every entry and is refused.
    inject(server.unit(), "REG$", "127.0.0.2", 46159);
    EXPECT_EQ(server.countLogs("Refuse peer regist,already exist peer "), 2);
    EXPECT_EQ(server.unit().parts().peers.clients().all().size(), 2);
}

TEST(RegistryScenario, AcceptanceThenListThenHostNotice)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", kServerIp, 46160);
    UnitInspector::wholeListsOnly(server.unit()); // the lists counted below
    Peer alice("alice", "127.0.0.3", 46161);
    QStringList trail;
    RecordingWindow window(&trail);
    server->setHostWindow(window.handle());
    traceSignals(server.unit(), &trail);
    server.unit().setOutgoingTap([&](QByteArray &d, QHostAddress &, quint16 &) {
        const QByteArray text = d.mid(48);
        if (text.startsWith("REGACC$") || text.startsWith("PEERLIST$"))
            trail << QStringLiteral("sent:") + QString::fromLatin1(text.left(text.indexOf('$')));
        return true;
    });
    alice->regToServer(kServerIp, 46160);
    server.unit().setOutgoingTap(nullptr);
    EXPECT_EQ(withoutLogs(trail), QStringList({"sent:REGACC", "sent:PEERLIST", "clientChanged", "list:102"}));
    EXPECT_TRUE(trail.contains("log:Accept peer regist alice from 127.0.0.2:46161"));
}
