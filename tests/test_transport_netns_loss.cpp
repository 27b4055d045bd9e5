// The loss recovery on real sockets: this program's namespace (netns-run.sh)
// drops 10 % of all UDP datagrams at random in its INPUT chain, and two
// units with their timers running exchange messages through it.
#include <gtest/gtest.h>

#include <cstdlib>

#include "support/peer.h"

TEST(NamespaceLoss, MessagesCrossTenPercentRandomLoss)
{
    ASSERT_TRUE(haveTestAddresses());
    ASSERT_EQ(std::system("iptables -A INPUT -p udp -m statistic --mode random --probability 0.1 -j DROP"), 0);
    Peer a("alice", "127.0.0.2", 46321), b("bob", "127.0.0.3", 46322);
    UnitInspector::timer(a.unit())->start(2000);
    UnitInspector::timer(b.unit())->start(2000);
    for (int packets : {40, 2000}) {
        SCOPED_TRACE(packets);
        QByteArray bytes(packets * 500 - 80, '\0');
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i * 7 + packets);
        const int acked = a.countLogs("Packet send success:");
        a->sendBufferToServer(bytes.constData(), int(bytes.size()), "127.0.0.3", 46322, nullptr);
        ASSERT_TRUE(pumpUntil([&] { return a.countLogs("Packet send success:") > acked; }));
        ASSERT_FALSE(b.received.isEmpty());
        EXPECT_EQ(b.received.last(), bytes);
    }
    ASSERT_TRUE(settle());
    EXPECT_EQ(b.received.size(), 2);
    EXPECT_GT(b.countLogs("Request for Lost Packet:") + b.countLogs("Report lost packets:"), 0);
    std::system("iptables -D INPUT -p udp -m statistic --mode random --probability 0.1 -j DROP");
}
