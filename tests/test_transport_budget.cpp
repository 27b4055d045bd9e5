// Forged first packets of huge messages: what the incoming records may
// reserve together is bounded, and what they ask for in one tick too.
#include <gtest/gtest.h>

#include "platform/sleep.h"
#include "support/peer.h"
#include "transport_packets.h"

TEST(ReceiveBudget, HugeAnnouncedMessagesAreBounded)
{
    Peer p("p", "127.0.0.2", 46601);
    // Nothing here is about timing: the paced waits run one round each.
    platform::setSleepFunction([](int) {});
    transport::setOutgoingTap(&p.unit(), [](QByteArray &, QHostAddress &, quint16 &) { return false; });
    const QHostAddress from(QStringLiteral("127.0.0.3"));
    // Each record of 32,767 packets reserves about 18 MB: 29 fit in the
    // budget, the rest are dropped.
    for (int i = 0; i < 40; ++i) {
        NOLVUDPPACKET first = tp::packet(2461000, 1000 + i, 1, wire::kMaxPackets, "DATA$x");
        UnitInspector::processPacket(p.unit(), &first, from, 5000);
    }
    EXPECT_EQ(UnitInspector::recvBuffers(p.unit()).size(), 29);

    // A pass sends at most 1,024 paced lost-packet requests over all records.
    int requests = 0;
    transport::setOutgoingTap(&p.unit(), [&](QByteArray &d, QHostAddress &, quint16 &) {
        requests += tp::textOf(d).startsWith("REQUEST$");
        return false;
    });
    for (int tick = 0; tick < 4; ++tick)
        UnitInspector::checkRecvBuffers(p.unit());
    EXPECT_EQ(requests, 1024);

    // Once they expire the budget is free again.
    for (int tick = 0; tick < 7; ++tick)
        UnitInspector::checkRecvBuffers(p.unit());
    EXPECT_TRUE(UnitInspector::recvBuffers(p.unit()).isEmpty());
    NOLVUDPPACKET again = tp::packet(2461000, 5000, 1, wire::kMaxPackets, "DATA$x");
    UnitInspector::processPacket(p.unit(), &again, from, 5000);
    EXPECT_EQ(UnitInspector::recvBuffers(p.unit()).size(), 1);
    platform::setSleepFunction(nullptr);
}
