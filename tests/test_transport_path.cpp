// Our units over simulated paths (sim_path.h): they take part in the path
// protocol with each other (marks, feedback, loss reports, a rate per path),
// keep to the protocol's pace toward a peer that writes zeros into the
// reserved bytes, and fall back to it when feedback stops. Messages live as
// long as they progress, however long that takes.
#include <gtest/gtest.h>

#include <QMap>
#include <QSet>

#include "sim_path.h"
#include "transport/path_mark.h"

namespace {

bool isWord(const QByteArray &datagram, const char *word) { return tp::wordOf(datagram) == word; }

// Makes a unit look like a peer that follows the protocol to the letter:
// zeros in the reserved bytes, and no FEEDBACK.
void writeLikeTheProtocol(SimPath::Direction &d)
{
    d.drop = [](QByteArray &datagram) {
        if (isWord(datagram, "FEEDBACK"))
            return true;
        std::memset(datagram.data() + 36, 0, 12);
        return false;
    };
}

struct Paths : ::testing::Test {
    ManualClock clock;
    Peer a{"alice", "127.0.0.2", 46901, false};
    Peer b{"bob", "127.0.0.3", 46902, false};

    void send(const QByteArray &bytes) { a->sendBufferToServer(bytes.constData(), int(bytes.size()), "127.0.0.3", 46902, nullptr); }
    bool acknowledged() const { return a.hasLog("Packet send success:"); }
};

} // namespace

TEST_F(Paths, AMessageThatTakesMinutesArrives)
{
    // 2,600 datagrams through 200 kbit/s: a minute on the wire, far beyond
    // six resends of 2 s or a receiver's twenty seconds.
    SimPath path(a, b, clock, {200e3, 20000, 200000}, {200e3, 20000, 200000});
    path.introduce();
    const QByteArray bytes = simBlock(2600, 1);
    send(bytes);
    ASSERT_TRUE(path.run(180000, [&] { return acknowledged(); }));
    ASSERT_EQ(b.received.size(), 1);
    EXPECT_EQ(b.received[0], bytes);
    EXPECT_GT(path.nowUs() - 1000000, 55 * 1000000ll);
    EXPECT_FALSE(a.hasLog("UDP package send failed:"));
    EXPECT_FALSE(a.hasLog("repeat send UDP package:"));
    EXPECT_FALSE(b.hasLog("Delete expired buffer:"));
}

TEST_F(Paths, OurUnitsPaceByFeedbackAndReportLossAsRanges)
{
    SimPath::Direction up{10e6, 15000, 50000}, down{10e6, 15000, 50000};
    int lost = 0;
    up.drop = [&](QByteArray &d) { return tp::packetOf(d).total == 2000 && tp::packetOf(d).index % 100 == 7 && lost++ < 20; };
    SimPath path(a, b, clock, up, down);
    path.introduce();
    const QByteArray bytes = simBlock(2000, 2);
    const int64_t start = path.nowUs();
    send(bytes);
    ASSERT_TRUE(path.run(10000, [&] { return acknowledged(); }));
    EXPECT_EQ(b.received.value(0), bytes);
    // About the path's time (1.0 s here), not the protocol's fixed pace and
    // not a queue's worth of losses.
    EXPECT_LT(path.nowUs() - start, 1500000);
    EXPECT_EQ(path.ab.queueDrops, 0);
    // The losses came back from ranges in FEEDBACK, not from a REQUEST each;
    // feedback stayed a small share of the data.
    EXPECT_FALSE(b.hasLog("Request for Lost Packet:"));
    EXPECT_TRUE(b.hasLog("Report lost packets:"));
    EXPECT_LT(path.ba.sent, path.ab.sent * 8 / 100);
}

TEST_F(Paths, AFirstMessageToAStrangerTakesThePathsPaceOnceItAnswers)
{
    // No introduction: a starts at the protocol's pace, more than this path
    // carries. b's FEEDBACK after the first packets says it takes part; the
    // rest goes numbered, at the path's pace. (Waiting for a first loss to
    // tell, 700 went unnumbered and 1,300 were lost in the queue.)
    SimPath::Direction up{10e6, 15000, 50000}, down{10e6, 15000, 50000};
    up.keep = true;
    SimPath path(a, b, clock, up, down);
    const int64_t start = path.nowUs();
    send(simBlock(2000, 7));
    ASSERT_TRUE(path.run(10000, [&] { return acknowledged(); }));
    int unnumbered = 0;
    for (const QByteArray &d : path.ab.delivered)
        unnumbered += mark::read(tp::packetOf(d)).txn == 0;
    EXPECT_LT(unnumbered, 250); // about a round trip's worth
    EXPECT_LT(path.nowUs() - start, 1500000);
    EXPECT_LT(path.ab.queueDrops, 150);
}

TEST_F(Paths, ToAPeerThatWritesZerosTheProtocolsPaceAndNoNewWord)
{
    SimPath::Direction up{100e6, 1000, 50000}, down{100e6, 1000, 50000};
    up.keep = true;
    writeLikeTheProtocol(down);
    SimPath path(a, b, clock, up, down);
    path.introduce();
    QList<int> perRound; // data datagrams a wrote in each millisecond
    int before = path.ab.sent;
    send(simBlock(100, 3));
    for (int ms = 0; ms < 40; ++ms) {
        perRound << path.ab.sent - before;
        before = path.ab.sent;
        path.run(1);
    }
    ASSERT_TRUE(path.run(2000, [&] { return acknowledged(); }));
    // Packet 1 alone, then fifteen a round of about 2 ms.
    EXPECT_EQ(perRound.value(0), 1);
    EXPECT_EQ(perRound.value(1) + perRound.value(2), 15);
    for (int n : perRound)
        EXPECT_LE(n, 15);
    for (const QByteArray &d : path.ab.delivered)
        EXPECT_FALSE(isWord(d, "FEEDBACK"));
}

TEST_F(Paths, APeerThatStopsGivingFeedbackGetsTheProtocolsPace)
{
    SimPath::Direction up{10e6, 15000, 50000}, down{10e6, 15000, 50000};
    SimPath path(a, b, clock, up, down);
    path.introduce();
    send(simBlock(3000, 4));
    path.run(400); // well under way at the path's pace
    ASSERT_FALSE(acknowledged());
    writeLikeTheProtocol(path.ba);
    // Within a few round trips without feedback, the protocol's pace: at
    // most fifteen a round of one message.
    path.run(400);
    const int before = path.ab.sent;
    path.run(10);
    EXPECT_LE(path.ab.sent - before, 15 * 5 + 5);
    ASSERT_TRUE(path.run(20000, [&] { return acknowledged(); }));
}

TEST_F(Paths, AnIdlePathLetsItsControllerGoAndStartsAgain)
{
    SimPath path(a, b, clock, {10e6, 15000, 50000}, {10e6, 15000, 50000});
    path.introduce();
    int64_t start = path.nowUs();
    send(simBlock(2000, 5));
    ASSERT_TRUE(path.run(5000, [&] { return acknowledged(); }));
    const int64_t first = path.nowUs() - start;
    // A minute idle: the controller goes. The next message numbers its
    // datagrams on from the last, so the receiver's feedback still fits and
    // paces it as well as the first.
    path.run(62000);
    start = path.nowUs();
    send(simBlock(2000, 6));
    ASSERT_TRUE(path.run(5000, [&] { return a.countLogs("Packet send success:") == 2; }));
    EXPECT_LT(path.nowUs() - start, first * 5 / 4);
    EXPECT_EQ(b.received.size(), 2);
}

TEST_F(Paths, TheFirstMessageOverALongSlowPathDoesNotOverfillItsQueue)
{
    // By satellite: 5 Mbit/s up, 600 ms round trip, 200 ms queue. The first
    // feedback takes the round trip; the sender keeps to its first window
    // meanwhile, not to the protocol's pace. Doubling from there would
    // overfill the queue a round trip before the round trip shows it.
    SimPath path(a, b, clock, {5e6, 300000, 200000}, {25e6, 300000, 200000});
    a->regToServer(b.addr, b.port);
    ASSERT_TRUE(path.run(3000, [&] { return a.unit().parts().peers.servers().all().size() == 1; }));
    const QByteArray bytes = simBlock(2098, 5);
    const int64_t start = path.nowUs();
    send(bytes);
    ASSERT_TRUE(path.run(20000, [&] { return acknowledged(); }));
    EXPECT_EQ(b.received.value(0), bytes);
    EXPECT_LT(path.ab.queueDrops, 2098 / 50);
    // The first window, written at once, shows the bottleneck's rate, and
    // start-up goes on from there: within 1.5 x the ideal (2.53 s).
    EXPECT_LT(path.nowUs() - start, 3800000);
}

TEST_F(Paths, DatagramsThatComeLateAreNotTakenForLost)
{
    // 30 Mbit/s, 10 ms round trip: one data datagram in 33 is held back 5 ms
    // behind later ones. The receiver waits that out before it reports a gap
    // (after the first few), so few are written twice.
    SimPath::Direction up{30e6, 5000, 30000}, down{30e6, 5000, 30000};
    up.keep = true;
    int n = 0;
    up.late = [&](const QByteArray &d) { return tp::packetOf(d).total == 2098 && ++n % 33 == 0; };
    up.lateUs = 5000;
    SimPath path(a, b, clock, up, down);
    path.introduce();
    const QByteArray bytes = simBlock(2098, 8);
    send(bytes);
    ASSERT_TRUE(path.run(10000, [&] { return acknowledged(); }));
    EXPECT_EQ(b.received.value(0), bytes);
    QSet<int> seen;
    int twice = 0;
    for (const QByteArray &d : path.ab.delivered)
        if (const NOLVUDPPACKET p = tp::packetOf(d); p.total == 2098 && p.index != 1 && p.index != 2098) {
            twice += seen.contains(p.index);
            seen.insert(p.index);
        }
    EXPECT_LE(twice, 2098 / 200); // under 0.5 %: a resend for 60 late before
}

TEST_F(Paths, ALostLastPacketComesBackWithinAboutARoundTrip)
{
    // Long haul: 250 ms round trip. The last packet of a short message is
    // lost; the sender writes it again after one and a half round trips,
    // and that probe completes the message.
    SimPath::Direction up{20e6, 125000, 250000}, down{20e6, 125000, 250000};
    int64_t lastWrittenUs = 0;
    up.drop = [&](QByteArray &d) {
        const NOLVUDPPACKET p = tp::packetOf(d);
        if (p.total != 132 || p.index != 132 || lastWrittenUs != 0)
            return false;
        lastWrittenUs = ManualClock::read();
        return true;
    };
    SimPath path(a, b, clock, up, down);
    path.introduce();
    path.run(1000);
    send(simBlock(132, 6));
    ASSERT_TRUE(path.run(10000, [&] { return acknowledged(); }));
    ASSERT_NE(lastWrittenUs, 0);
    EXPECT_LT(path.nowUs() - lastWrittenUs, 800000); // a packet 1 repeat and a report took 1 s
}

TEST_F(Paths, AfterAPauseTheSenderStillSaysItHearsFeedback)
{
    // A second message a second after the first (a server comes back to a
    // client only after writing to the others). The feedback that closed
    // the first was heard, so the datagrams of the second say so from the
    // start: the receiver keeps reporting losses as ranges (taking the pause
    // for lost feedback, it asked for each packet with a REQUEST).
    SimPath::Direction up{10e6, 15000, 50000}, down{10e6, 15000, 50000};
    up.keep = true;
    SimPath path(a, b, clock, up, down);
    path.introduce();
    send(simBlock(300, 9));
    ASSERT_TRUE(path.run(5000, [&] { return acknowledged(); }));
    path.run(1000);
    send(simBlock(400, 10));
    ASSERT_TRUE(path.run(5000, [&] { return a.countLogs("Packet send success:") == 2; }));
    int first = 0, said = 0;
    for (const QByteArray &d : path.ab.delivered)
        if (tp::packetOf(d).total == 400 && first++ < 8)
            said += (mark::read(tp::packetOf(d)).flags & mark::HearsFeedback) != 0;
    EXPECT_EQ(said, 8);
}

TEST_F(Paths, OurSendersPausesAreNotTakenForALostTail)
{
    // The receiver sees the first hundred packets of a message and then
    // nothing for a second, as when a server writing a list to thousands of
    // clients comes back to each one that late. From one of our units that
    // is a pause (it would probe a tail really lost): the receiver waits it
    // out rather than asking for packets not written yet.
    SimPath::Direction up{10e6, 15000, 50000}, down{10e6, 15000, 50000};
    int firsts = 0;
    up.drop = [&](QByteArray &d) { return tp::packetOf(d).total == 300 && tp::packetOf(d).index == 1 && firsts++ > 0; };
    up.late = [](const QByteArray &d) { return tp::packetOf(d).total == 300 && tp::packetOf(d).index > 100; };
    up.lateUs = 1000000;
    SimPath path(a, b, clock, up, down);
    path.introduce();
    const QByteArray bytes = simBlock(300, 11);
    send(bytes);
    ASSERT_TRUE(path.run(10000, [&] { return acknowledged(); }));
    EXPECT_EQ(b.received.value(0), bytes);
    EXPECT_FALSE(b.hasLog("Report lost packets:"));
    EXPECT_FALSE(b.hasLog("Request for Lost Packet:"));
}
