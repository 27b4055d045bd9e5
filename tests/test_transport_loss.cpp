// Two units over real sockets whose outgoing taps lose datagrams, seeded at
// random or in bursts, in both directions: messages of every size arrive
// exactly once and intact and are acknowledged, recovered between ticks.
#include <gtest/gtest.h>

#include "loss_link.h"
#include "support/peer.h"
#include "support/round_clock.h"
#include "transport_packets.h"

namespace {

QByteArray block(int packets, int seed)
{
    QByteArray b(packets * 500 - 80, '\0');
    std::mt19937 rng(static_cast<unsigned>(seed));
    for (char &c : b)
        c = char(rng());
    return b;
}

struct LossyPair : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(haveTestAddresses()); }

    RoundClock clock; // losses, requests and ticks come in the same order however busy the machine
    Peer a{"alice", "127.0.0.2", 46311};
    Peer b{"bob", "127.0.0.3", 46312};

    // Sends one message and lets both units run, ticking them once a second
    // (so that a record lives ten seconds), until it has arrived and its
    // sender has logged the success, or ms have passed on the units' clock.
    bool deliver(const QByteArray &bytes, int64_t ms = 8000)
    {
        const int arrived = int(b.received.size()), acked = a.countLogs("Packet send success:");
        a->sendBufferToServer(bytes.constData(), int(bytes.size()), "127.0.0.3", 46312, nullptr);
        const int64_t start = RoundClock::readMs();
        int64_t nextTick = start + 1000;
        const auto done = [&] { return b.received.size() > arrived && a.countLogs("Packet send success:") > acked; };
        pumpUntil([&] {
            if (RoundClock::readMs() >= nextTick) {
                nextTick += 1000;
                a.tick();
                b.tick();
            }
            return done() || RoundClock::readMs() - start > ms;
        });
        return done() && b.received.size() == arrived + 1 && b.received.last() == bytes;
    }
};

} // namespace

TEST_F(LossyPair, RandomLossBothWays)
{
    int seed = 1;
    for (double chance : {0.02, 0.10}) {
        LossyLink ab(a.unit(), chance, 100u + unsigned(seed)), ba(b.unit(), chance, 200u + unsigned(seed));
        for (int packets : {1, 2, 40, 2000}) {
            SCOPED_TRACE(testing::Message() << chance << " loss, " << packets << " packets");
            EXPECT_TRUE(deliver(block(packets, ++seed)));
        }
        EXPECT_GT(ab.dropped + ba.dropped, 0);
    }
    ASSERT_TRUE(RoundClock::pass(300)); // late repeats are not handed over again
    EXPECT_EQ(b.received.size(), 8);
    EXPECT_EQ(b.countLogs("Packet Received:"), 8);
    EXPECT_FALSE(a.hasLog("UDP package send failed:"));
}

TEST_F(LossyPair, FortyPacketsThroughThirtyPercentLoss)
{
    LossyLink ab(a.unit(), 0.30, 7), ba(b.unit(), 0.30, 8);
    const QByteArray bytes = block(40, 40);
    a->sendBufferToServer(bytes.constData(), int(bytes.size()), "127.0.0.3", 46312, nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !b.received.isEmpty(); }));
    EXPECT_EQ(b.received[0], bytes);
    ASSERT_TRUE(RoundClock::pass(300));
    EXPECT_EQ(b.received.size(), 1);
}

TEST_F(LossyPair, BurstsOfTenLostDatagrams)
{
    // Ten packets in the middle of a message, then the receiver's first ten
    // requests for them: the asking goes on until the gap closes.
    LossyLink ab(a.unit(), 0, 1), ba(b.unit(), 0, 2);
    ab.burstFrom = 20;
    ab.burstLength = 10;
    ba.burstFrom = 0;
    ba.burstLength = 10;
    EXPECT_TRUE(deliver(block(40, 3)));
    EXPECT_EQ(ab.dropped + ba.dropped, 20);
    // Ten of its asks were lost: it asked again.
    EXPECT_GT(b.countLogs("Request for Lost Packet:") + b.countLogs("Report lost packets:"), 10);
    // A burst that takes the tail of a message with its last packet.
    ab.burstFrom = ab.sent + 30;
    EXPECT_TRUE(deliver(block(40, 4)));
    EXPECT_EQ(b.received.size(), 2);
}
