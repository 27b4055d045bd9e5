// Forged first packets of huge messages: the incoming records hold what
// arrived, one source no more than its share, and what they ask for in one
// recovery pass is bounded too.
#include <gtest/gtest.h>

#include "platform/sleep.h"
#include "support/manual_clock.h"
#include "support/peer.h"
#include "transport_packets.h"

namespace {

const QHostAddress kStranger(QStringLiteral("127.0.0.3"));

// A first packet of a message of the largest size, at a slot of its own.
NOLVUDPPACKET forged(int n)
{
    return tp::packet(2461000, 100000 + n, 1 + (n * 97) % wire::kMaxPackets, wire::kMaxPackets, "x");
}

// What the records from `ip` hold, measured on the records themselves.
qint64 heldByRecordsFrom(const MUDPUnit &u, const char *ip)
{
    qint64 bytes = 0;
    for (const NOLVUDPBUFFER *b : u.parts().incoming.all())
        if (std::strcmp(b->ip, ip) == 0)
            bytes += heldBytes(b);
    return bytes;
}

struct Budget : ::testing::Test {
    ManualClock clock; // recovery passes run only when a test calls them
    Peer p{"p", "127.0.0.2", 46601};
    // Nothing here is about timing: the paced waits run one round each.
    void SetUp() override
    {
        platform::setSleepFunction([](int) {});
        p.unit().setOutgoingTap([](QByteArray &, QHostAddress &, quint16 &) { return false; });
    }
    void TearDown() override { platform::setSleepFunction(nullptr); }
    void feed(NOLVUDPPACKET packet, const QHostAddress &from, unsigned short port)
    {
        UnitInspector::processPacket(p.unit(), &packet, from, port);
    }
};

} // namespace

TEST_F(Budget, FloodFromOneSourceStaysInItsShareWhileAMessageArrives)
{
    // A legitimate 15 MiB message from 127.0.0.4, with a forged first packet
    // from the stranger after every sixth of its packets.
    const QByteArray body = QByteArray(15 * 1024 * 1024, 'L');
    const std::vector<NOLVUDPPACKET> legit = tp::message(2461001, 5, "DATA$sender", body);
    int flood = 0;
    for (size_t i = 0; i < legit.size(); ++i) {
        feed(legit[i], QHostAddress(QStringLiteral("127.0.0.4")), 5001);
        if (i % 6 == 0)
            feed(forged(flood++), kStranger, 5000);
    }
    ASSERT_EQ(p.received.size(), 1);
    EXPECT_TRUE(p.received[0] == body);

    // Each forged record holds its chunk table and one chunk, about 25 KiB;
    // the stranger's records stop at its share of 64 MiB.
    const qint64 stranger = heldByRecordsFrom(p.unit(), "127.0.0.3");
    EXPECT_LE(stranger, ReceiveBudget::kPerSourceBytes);
    EXPECT_GT(stranger, ReceiveBudget::kPerSourceBytes - 64 * 1024);
    EXPECT_EQ(stranger, p.unit().parts().incoming.budget().heldFrom("127.0.0.3"));
    EXPECT_LT(p.unit().parts().incoming.all().size(), flood / 2);
    EXPECT_EQ(p.unit().parts().incoming.budget().held(), stranger + heldByRecordsFrom(p.unit(), "127.0.0.4"));
}

TEST_F(Budget, DeliveredMessagesGiveTheirBytesBackAtOnce)
{
    // Five 15 MiB messages in a row from one source, more than its share
    // together: each arrives whole while the earlier ones are still kept to
    // acknowledge repeats.
    const QHostAddress sender(QStringLiteral("127.0.0.4"));
    const QByteArray body = QByteArray(15 * 1024 * 1024, 'M');
    std::vector<NOLVUDPPACKET> first;
    for (int n = 0; n < 5; ++n) {
        const std::vector<NOLVUDPPACKET> message = tp::message(2461001, 10 + n, "DATA$sender", body);
        for (const NOLVUDPPACKET &packet : message)
            feed(packet, sender, 5001);
        first.push_back(message.front());
    }
    ASSERT_EQ(p.received.size(), 5);
    EXPECT_TRUE(p.received[4] == body);
    EXPECT_LT(p.unit().parts().incoming.budget().heldFrom("127.0.0.4"), 5 * 1024);

    // A repeat of a delivered message is acknowledged again, not delivered.
    tp::Capture out(p.unit());
    feed(first[0], sender, 5001);
    EXPECT_EQ(out.countWord("RECEIVED"), 1);
    EXPECT_EQ(p.received.size(), 5);
}

TEST_F(Budget, LostPacketRequestsPerPassAreBoundedAndExpiryFreesTheBudget)
{
    for (int i = 0; i < 40; ++i)
        feed(forged(i), kStranger, 5000);
    EXPECT_EQ(p.unit().parts().incoming.all().size(), 40);

    // A pass asks one source for at most 256 lost packets (each record would
    // ask for 64).
    tp::Capture out(p.unit());
    clock.advance(1000);
    p.unit().parts().recoveryPass.run();
    EXPECT_EQ(p.countLogs("Request for Lost Packet:"), 256);

    // Once they expire nothing is held any more.
    for (int tick = 0; tick < 11; ++tick)
        p.unit().parts().recoveryPass.expireRecords();
    EXPECT_TRUE(p.unit().parts().incoming.all().isEmpty());
    EXPECT_EQ(p.unit().parts().incoming.budget().held(), 0);
    EXPECT_EQ(p.unit().parts().incoming.budget().heldFrom("127.0.0.3"), 0);
}

TEST_F(Budget, AStrangersRecordsDoNotHoldUpAnotherSourcesRecovery)
{
    // 1,500 incomplete messages from a stranger, each missing its second
    // packet, ahead of a peer's message missing its second of three.
    for (int i = 0; i < 1500; ++i)
        feed(tp::packet(2461000, 200000 + i, 1, 2, "DATA$x"), kStranger, 5000);
    const auto real = tp::message(2461002, 7, "DATA$peer", QByteArray(1200, 'r'));
    feed(real[0], QHostAddress(QStringLiteral("127.0.0.4")), 5001);
    feed(real[2], QHostAddress(QStringLiteral("127.0.0.4")), 5001);
    tp::Capture out(p.unit());
    clock.advance(500); // every record due: the stranger's for their tails
    p.unit().parts().recoveryPass.run();
    // The first pass asks the peer for its packet at once; the stranger gets
    // its share, and the rest of it in later passes.
    QList<QByteArray> toPeer;
    for (const tp::Sent &s : out.sent)
        if (s.port == 5001)
            toPeer << tp::textOf(s.datagram);
    EXPECT_EQ(toPeer, QList<QByteArray>{"REQUEST$p$2461002$7$2"});
    EXPECT_EQ(p.countLogs("Request for Lost Packet:"), 1 + 256);
}

TEST_F(Budget, HeldAndQueuedBuffersAreBoundedInBytes)
{
    // Outgoing buffers hold at most 256 MiB: the oldest goes first, and a
    // request for it can no longer be answered.
    const QByteArray big(16000000, 'b');
    QList<MessageKey> built;
    for (int i = 0; i < 17; ++i) {
        const NOLVUDPBUFFER *b = UnitInspector::buildBuffer(p.unit(), big);
        ASSERT_NE(b, nullptr);
        built << MessageKey(b->date, b->time);
    }
    qint64 held = 0;
    for (const NOLVUDPBUFFER *b : p.unit().parts().outgoing.all())
        held += heldBytes(b);
    EXPECT_LE(held, 256ll * 1024 * 1024);
    EXPECT_EQ(p.unit().parts().outgoing.all().size(), 16);
    EXPECT_NE(p.unit().parts().outgoing.all().first()->time, built.first().time);

    // One destination may have at most 64 MiB waiting: the fifth message of
    // 15 MiB to a silent one is refused, with a line that says so.
    const QByteArray message(15 * 1024 * 1024, 'q');
    for (int i = 0; i < 5; ++i)
        p->sendBufferToServer(message.constData(), int(message.size()), "127.0.0.5", 5002, nullptr);
    EXPECT_EQ(p.countLogs("Send refused, queue full:"), 1);
    EXPECT_EQ(p.unit().parts().sends.all().size(), 4);
}
