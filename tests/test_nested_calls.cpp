// Blocking calls made by a host from inside a notification still see their
// answers: the unit reads its own socket while they wait.
#include <gtest/gtest.h>

#include <cstring>

#include "support/peer.h"
#include "transport_packets.h"

TEST(NestedCalls, RegistrationFromADataHandler)
{
    Peer server("server", "127.0.0.2", 46501);
    Peer a("a", "127.0.0.2", 46502);
    Peer b("b", "127.0.0.2", 46503);
    bool handled = false;
    UnitInspector::onData(b.unit(), [&](const QByteArray &) {
        if (handled)
            return;
        handled = true;
        b->regToServer("127.0.0.2", 46501);
        EXPECT_EQ(b.unit().parts().peers.servers().all().size(), 1);
    });
    a->sendBufferToServer("x", 1, "127.0.0.2", 46503, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return handled; }));
    EXPECT_TRUE(b.hasLog(QStringLiteral("Reg Sucess"))) << b.logs.join('\n').toStdString();
    EXPECT_FALSE(b.hasLog(QStringLiteral("Reg Failed")));

    // The same for unregistration, from a log slot.
    bool unregistered = false;
    UnitInspector::onLog(b.unit(), [&](const QString &line) {
        if (!unregistered && line.contains(QStringLiteral("Packet Received:"))) {
            unregistered = true;
            b->unRegFromServer("127.0.0.2", 46501);
        }
    });
    // The accepted unregistration marks the server entry; a tick removes it.
    UnitInspector::onLog(b.unit(), [&](const QString &line) {
        if (line.contains(QStringLiteral("Unregist peer accepted by ")))
            b.tick();
    });
    a->sendBufferToServer("y", 1, "127.0.0.2", 46503, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return unregistered; }));
    EXPECT_TRUE(b.hasLog(QStringLiteral("UnReg Sucess"))) << b.logs.join('\n').toStdString();
}

// A burst of datagrams whose handling waits (a host that waits in its log
// slot): they are handled nested, as the waits read the socket, but never
// deeper than a few levels.
TEST(NestedCalls, BurstNestsBoundedly)
{
    Peer server("server", "127.0.0.2", 46511);
    int deepest = 0;
    int answered = 0;
    UnitInspector::onLog(server.unit(), [&](const QString &line) {
        deepest = qMax(deepest, server.unit().parts().socket.depth());
        answered += line.contains(QStringLiteral("Get HeartBeat Command from "));
        MUDPUnit::waitWithEvents(1);
    });
    QUdpSocket raw;
    ASSERT_TRUE(raw.bind(QHostAddress(QStringLiteral("127.0.0.2")), 46512));
    for (int i = 0; i < 200; ++i) {
        const NOLVUDPPACKET alive = tp::single(2461000, i, "ALIVE$x");
        raw.writeDatagram(reinterpret_cast<const char *>(&alive), sizeof alive, QHostAddress(QStringLiteral("127.0.0.2")),
                          46511);
    }
    ASSERT_TRUE(pumpUntil([&] { return answered == 200; })) << answered;
    EXPECT_GE(deepest, 2);
    EXPECT_LE(deepest, 4);
}
