// What a forger who cannot see a unit's datagrams can do to it over a
// simulated path (sim_path.h): feedback, loss reports and marks from forged
// sources change nothing; strangers hold no state that pushes out a peer's;
// a restarted sender is told from the old one at once; repeats are answered
// at most once a round trip; and a peer that writes zeros at an address that
// one of our units had gets the protocol's own requests.
#include <gtest/gtest.h>

#include "forgery.h"

using namespace forgery;

namespace {

bool isWord(const QByteArray &datagram, const char *word) { return tp::wordOf(datagram) == word; }

struct Trust : ::testing::Test, Pair {};

} // namespace

TEST_F(Trust, AForgedLossReportMakesTheSenderWriteNothing)
{
    // The forger knows the message (its identity is a time of day) and how
    // many datagrams went, not the numbers they carried.
    path->introduce();
    ASSERT_GT(transfer(2000, 1), 0);
    const auto [date, time] = lastSent();
    const int sent = path->ab.sent;
    for (uint32_t guess = 0; guess < 64; ++guess) {
        NOLVUDPPACKET report = tp::packet(kDate, int32_t(guess), 1, 1, lossReport("bob", date, time, 1, 2000));
        mark::writeFeedback(report, uint32_t(sent) - guess, 0, uint32_t(sent));
        inject(a, report, b.addr, b.port);
    }
    path->run(3000);
    EXPECT_EQ(path->ab.sent, sent);
}

TEST_F(Trust, AReportThatProvesItselfGetsOnlyWhatIsOwed)
{
    // A forger on the path copies the receiver's newest feedback mark into a
    // report asking for the whole message: halfway through, the sender
    // writes again only what it had written; once the message is
    // acknowledged, nothing.
    path->introduce();
    path->ba.keep = true;
    const auto forge = [&] {
        const NOLVUDPBUFFER *message = a.unit().parts().outgoing.all().last();
        NOLVUDPPACKET report = tp::packet(kDate, 7, 1, 1, lossReport("bob", message->date, message->time, 1, 2000));
        ASSERT_TRUE(newestFeedbackMark(path->ba, report.reserved));
        inject(a, report, b.addr, b.port);
    };
    const int before = path->ab.sent;
    int owed = 0, elapsedMs = 0;
    ASSERT_GT(transfer(a, b, 2000, 12, [&] {
                  if (++elapsedMs == 500) {
                      owed = path->ab.sent - before;
                      forge();
                  }
              }),
              0);
    path->run(1000);
    const int written = path->ab.sent - before;
    EXPECT_LE(written, 2000 + owed);
    forge();
    path->run(3000);
    EXPECT_EQ(path->ab.sent - before, written);
}

TEST_F(Trust, RepeatsOfADeliveredMessageGetAReceiptARoundTrip)
{
    path->introduce();
    ASSERT_GT(transfer(2000, 2), 0);
    const auto [date, time] = lastSent();
    const int answers = path->ba.sent;
    for (int i = 0; i < 100; ++i)
        inject(b, tp::packet(date, time, 5, 2000, "x"), a.addr, a.port);
    const int first = path->ba.sent - answers;
    EXPECT_LE(first, 1);
    // A sender of the protocol's pace repeats packet 1 a tick apart: each
    // repeat gets its receipt.
    for (int tick = 1; tick <= 2; ++tick) {
        path->run(2000);
        inject(b, tp::packet(date, time, 1, 2000, "x"), a.addr, a.port);
        EXPECT_EQ(path->ba.sent - answers, first + tick);
    }
}

TEST_F(Trust, StrangersCannotPushOutAPeersPath)
{
    path->introduce();
    const int64_t alone = transfer(2000, 3);
    ASSERT_GT(alone, 0);
    path->run(3000);
    // Numbered datagrams from more ports than the unit keeps paths for.
    for (int port = 0; port < 4200; ++port) {
        NOLVUDPPACKET p = tp::single(kDate, port, "RE_ALIVE$mallory");
        mark::writeData(p, mark::FeedbackNow, 0, 1, 0);
        inject(a, p, "127.0.0.7", quint16(10000 + port));
    }
    EXPECT_LT(transfer(2000, 4), alone * 11 / 10);
}

TEST_F(Trust, ARestartedSenderIsANewSeriesAtOnce)
{
    path->introduce();
    const int64_t first = transfer(2000, 5);
    ASSERT_GT(first, 0);
    restartA(); // same address and port, numbering afresh
    EXPECT_LT(transfer(2000, 6), first * 11 / 10);
    EXPECT_EQ(b.received.size(), 2);
}

TEST_F(Trust, FeedbackFromStrangersLeavesNoState)
{
    path->introduce();
    ASSERT_GT(transfer(200, 7), 0);
    const auto [date, time] = lastSent();
    const int paths = a.unit().parts().paths.size();
    for (int port = 0; port < 5000; ++port) {
        NOLVUDPPACKET report = tp::packet(kDate, port, 1, 1, lossReport("bob", date, time, 1, 200));
        mark::writeFeedback(report, uint32_t(port), 0, 1);
        inject(a, report, "127.0.0.7", quint16(10000 + port));
    }
    EXPECT_EQ(a.unit().parts().paths.size(), paths);
}

TEST_F(Trust, ForgedMarksDoNotSpareASilentDestinationsResends)
{
    // Nothing answers at 127.0.0.4:46299; a forger sends feedback marks
    // "from" it every half second.
    a->sendBufferToServer("x", 1, "127.0.0.4", 46299, nullptr);
    uint32_t guess = 0;
    for (int halfSecond = 0; halfSecond < 60; ++halfSecond) {
        path->run(500);
        for (int i = 0; i < 8; ++i, ++guess)
            inject(a, withFeedback("RE_ALIVE$carol", int32_t(guess), guess, 0, guess), "127.0.0.4", 46299);
    }
    EXPECT_EQ(a.countLogs("repeat send UDP package:"), 6);
    EXPECT_EQ(a.countLogs("UDP package send failed:"), 1);
}

TEST_F(Trust, GuessedFeedbackChangesNoPace)
{
    // Every millisecond of a transfer, feedback "from" the receiver naming
    // about the newest datagram by its count: a round trip of almost nothing,
    // and everything arrived.
    path->introduce();
    const int64_t alone = transfer(2000, 8);
    ASSERT_GT(alone, 0);
    const int drops = path->ab.queueDrops;
    int32_t time = 0;
    const int64_t forged = transfer(a, b, 2000, 9, [&] {
        const uint32_t guess = uint32_t(path->ab.sent) - 2;
        inject(a, withFeedback("RE_ALIVE$bob", ++time, guess, 0, guess), b.addr, b.port);
    });
    ASSERT_GT(forged, 0);
    EXPECT_LT(forged, alone * 11 / 10);
    EXPECT_EQ(path->ab.queueDrops, drops);
}

TEST_F(Trust, APeerOfTheProtocolAtAnAddressOneOfOursHadGetsRequests)
{
    // b sends as one of our units; then a peer that writes zeros and knows
    // no FEEDBACK takes b's address and port and sends a message, one packet
    // of which is lost.
    path->introduce();
    ASSERT_GT(transfer(b, a, 200, 10), 0);
    bool lost = false;
    path->ba.drop = [&lost](QByteArray &d) {
        if (isWord(d, "FEEDBACK"))
            return true;
        std::memset(d.data() + 36, 0, 12);
        const NOLVUDPPACKET p = tp::packetOf(d);
        return p.total == 200 && p.index == 50 && !std::exchange(lost, true);
    };
    path->ab.keep = true;
    ASSERT_GT(transfer(b, a, 200, 11), 0);
    int feedback = 0;
    for (const QByteArray &d : path->ab.delivered)
        feedback += isWord(d, "FEEDBACK");
    EXPECT_EQ(feedback, 0);
    EXPECT_TRUE(a.hasLog("Request for Lost Packet:"));
    EXPECT_EQ(a.received.size(), 2);
}
