// Heartbeats driven tick by tick: when ALIVE goes out, what RE_ALIVE and
// ALIVE refresh, the ten-tick expiry and the removal mark, and heartbeats
// through a lossy network.
#include <gtest/gtest.h>

#include <QTimer>

#include "loss_link.h"
#include "registry_support.h"

namespace {

PEERINFO *onlyServer(Peer &p)
{
    const auto &list = p.unit().parts().peers.servers().all();
    return list.size() == 1 ? list[0] : nullptr;
}

} // namespace

TEST(RegistryHeartbeat, FirstAliveOnFifthTickAndAnswered)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", 46200);
    Peer alice("alice", "127.0.0.3", 46201);
    alice->regToServer("127.0.0.2", 46200);
    ASSERT_TRUE(onlyServer(alice));

    WordCounter alive(alice.unit(), "ALIVE");
    for (int i = 0; i < 4; ++i)
        alice.tick();
    EXPECT_EQ(alive.count, 0);
    EXPECT_EQ(onlyServer(alice)->life, -4);
    server.tick();
    server.tick();
    EXPECT_EQ(server.unit().parts().peers.clients().all()[0]->life, -2);

    alice.tick();
    EXPECT_EQ(alive.count, 1);
    EXPECT_TRUE(alice.hasLog("Commit HeartBeat Command to server 127.0.0.2:46200"));
    ASSERT_TRUE(pumpUntil([&] { return alice.hasLog("Get Respon HeartBeat Command from server"); }));
    EXPECT_TRUE(server.hasLog("Get HeartBeat Command from alice"));
    EXPECT_EQ(onlyServer(alice)->life, 0);
    EXPECT_EQ(server.unit().parts().peers.clients().all()[0]->life, 0);
    EXPECT_EQ(alice.unit().parts().heartbeat.tickCount(), 0);

    // The next heartbeat follows five ticks later.
    for (int i = 0; i < 4; ++i)
        alice.tick();
    EXPECT_EQ(alive.count, 1);
    alice.tick();
    EXPECT_EQ(alive.count, 2);
}

TEST(RegistryHeartbeat, TwoServersInTheSameTick)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer one("one", "127.0.0.2", 46210), two("two", "127.0.0.3", 46220);
    Peer alice("alice", "127.0.0.4", 46211);
    alice->regToServer("127.0.0.2", 46210);
    alice->regToServer("127.0.0.3", 46220);
    WordCounter alive(alice.unit(), "ALIVE");
    for (int i = 0; i < 4; ++i)
        alice.tick();
    EXPECT_EQ(alive.count, 0);
    alice.tick();
    EXPECT_EQ(alive.count, 2);
    EXPECT_TRUE(pumpUntil([&] { return alice.countLogs("Get Respon HeartBeat Command from ") == 2; }));
}

TEST(RegistryHeartbeat, AliveRefreshesOnlyTheMatchingClient)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", 46230);
    Peer alice("alice", "127.0.0.3", 46231);
    alice->regToServer("127.0.0.2", 46230);
    for (int i = 0; i < 3; ++i)
        server.tick();
    PEERINFO *entry = server.unit().parts().peers.clients().all()[0];
    ASSERT_EQ(entry->life, -3);

    // A stranger, alice's name from another port, another name from her port:
    // each is answered, none refreshes her entry or adds one.
    WordCounter reAlive(server.unit(), "RE_ALIVE");
    inject(server.unit(), "ALIVE$stranger", "127.0.0.2", 46239);
    inject(server.unit(), "ALIVE$alice", "127.0.0.2", 46238);
    inject(server.unit(), "ALIVE$Alice", "127.0.0.2", 46231);
    EXPECT_EQ(reAlive.count, 3);
    EXPECT_EQ(server.countLogs("Get HeartBeat Command from "), 3);
    EXPECT_EQ(entry->life, -3);
    EXPECT_EQ(server.unit().parts().peers.clients().all().size(), 1);

    inject(server.unit(), "ALIVE$alice", "127.0.0.2", 46231);
    EXPECT_EQ(entry->life, 0);

    // A RE_ALIVE from elsewhere does not refresh alice's server entry.
    ASSERT_TRUE(settle()); // the answers to the ALIVEs above that went to alice
    alice.tick();
    inject(alice.unit(), "RE_ALIVE$server", "127.0.0.2", 46299);
    EXPECT_EQ(onlyServer(alice)->life, -1);
    inject(alice.unit(), "RE_ALIVE$whoever", "127.0.0.2", 46230);
    EXPECT_EQ(onlyServer(alice)->life, 0);
}

TEST(RegistryHeartbeat, TenSilentTicksExpireAndTheMarkGoesNextTick)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", 46240);
    Peer alice("alice", "127.0.0.3", 46241), bob("bob", "127.0.0.4", 46242);
    alice->regToServer("127.0.0.2", 46240);
    bob->regToServer("127.0.0.2", 46240);

    for (int i = 0; i < 9; ++i)
        server.tick();
    ASSERT_EQ(server.unit().parts().peers.clients().all().size(), 2);
    EXPECT_FALSE(server.hasLog("delete expired client"));
    server.tick();
    EXPECT_TRUE(server.unit().parts().peers.clients().all().isEmpty());
    EXPECT_EQ(server.countLogs("delete expired client"), 2);

    // A mark set on a fresh entry is acted on at the very next tick.
    ASSERT_TRUE(onlyServer(alice));
    onlyServer(alice)->life = -9999;
    alice.tick();
    EXPECT_TRUE(alice.unit().parts().peers.servers().all().isEmpty());
    EXPECT_TRUE(alice.hasLog("delete expired serverserver 127.0.0.2:46240"));
}

TEST(RegistryHeartbeat, CounterWrapSendsNothingThatTick)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", 46250);
    Peer alice("alice", "127.0.0.3", 46251);
    // An acceptance that no registration call waited for adds the entry; the
    // tick counter has been growing with an empty server list.
    alice.unit().parts().heartbeat.setTickCount(65535);
    acceptAsServer(alice.unit(), "REGACC$server$0$0$0$127.0.0.2$46251", "127.0.0.2", 46250);
    ASSERT_TRUE(onlyServer(alice));
    EXPECT_STREQ(alice->getAddrForPeer(), "127.0.0.2");
    EXPECT_EQ(alice->getPortForPeer(), 46251);
    WordCounter alive(alice.unit(), "ALIVE");
    alice.tick();
    EXPECT_EQ(alive.count, 0);
    EXPECT_EQ(alice.unit().parts().heartbeat.tickCount(), 0);
    for (int i = 0; i < 5; ++i)
        alice.tick();
    EXPECT_EQ(alive.count, 1);
}

TEST(RegistryHeartbeat, UnansweredHeartbeatIsRetriedOnEveryTick)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", 46260);
    Peer alice("alice", "127.0.0.3", 46261);
    alice->regToServer("127.0.0.2", 46260);
    ASSERT_TRUE(onlyServer(alice));
    WordCounter alive(alice.unit(), "ALIVE");
    alive.drop = true; // the fifth tick's ALIVE is lost
    for (int i = 0; i < 5; ++i)
        alice.tick();
    EXPECT_EQ(alive.count, 1);
    alice.tick(); // one at once, one a little later: both lost
    EXPECT_EQ(alive.count, 2);
    ASSERT_TRUE(pumpUntil([&] { return alive.count == 3; }));
    alive.drop = false;
    alice.tick(); // the first is answered, so the second stays unsent
    EXPECT_EQ(alive.count, 4);
    // Its timer is run out by hand once the answer is in: on a busy machine
    // the timer could come first.
    QTimer *retry = alice.unit().parts().heartbeat.retryTimer();
    ASSERT_TRUE(retry->isActive());
    retry->stop();
    ASSERT_TRUE(pumpUntil([&] { return onlyServer(alice)->life == 0; }));
    alice.unit().parts().heartbeat.sendRetryAlives();
    EXPECT_EQ(alive.count, 4);
    for (int i = 0; i < 2; ++i)
        alice.tick();
    EXPECT_EQ(alive.count, 4); // answered: back to one per five ticks, in step
    alice.tick();
    EXPECT_EQ(alive.count, 5);
}

TEST(RegistryHeartbeat, TenPercentLossEachWayForThirtyMinutes)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", 46270);
    Peer alice("alice", "127.0.0.3", 46271);
    alice->regToServer("127.0.0.2", 46270);
    ASSERT_TRUE(onlyServer(alice));
    {
        LossyLink up(alice.unit(), 0.10, 11), down(server.unit(), 0.10, 12);
        for (int i = 0; i < 900; ++i) { // 30 minutes of 2 s ticks
            alice.tick();
            server.tick();
            ASSERT_TRUE(settle());
            // The second ALIVE of a retry goes after the first one's answer
            // had its chance, as its timer means it to.
            if (QTimer *retry = alice.unit().parts().heartbeat.retryTimer(); retry->isActive()) {
                retry->stop();
                alice.unit().parts().heartbeat.sendRetryAlives();
                ASSERT_TRUE(settle());
            }
        }
        EXPECT_GT(up.dropped + down.dropped, 20);
        EXPECT_GT(alice.countLogs("Commit HeartBeat Command to "), 180); // retries happened
    }
    EXPECT_FALSE(alice.hasLog("delete expired server"));
    EXPECT_FALSE(server.hasLog("delete expired client"));

    // A server that really stops answering goes at the tenth tick after its
    // last RE_ALIVE, as before: 18 to 20 seconds.
    LossyLink gone(server.unit(), 1.0, 13);
    const int life = onlyServer(alice)->life;
    int ticks = 0;
    while (onlyServer(alice) && ticks < 20) {
        alice.tick();
        ++ticks;
    }
    EXPECT_EQ(ticks, 10 + life);
    EXPECT_TRUE(alice.hasLog("delete expired server"));
}
