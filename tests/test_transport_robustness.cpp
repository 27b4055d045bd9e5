// Incoming datagrams that are malformed, repeated or unusual: what the
// transport keeps, answers and logs. Datagrams are handed to its parts by
// hand (to a whole unit where its socket's entry or the registry is the
// point); everything written is captured.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/sleep.h"
#include "support/manual_clock.h"
#include "support/peer.h"
#include "support/transport_parts.h"
#include "transport_packets.h"

namespace {

const QHostAddress kFrom("127.0.0.3");
constexpr unsigned short kFromPort = 47000;
constexpr int32_t kDate = 2460000;

// The transport's parts alone, datagrams handed to reassembly.
struct Receiver : ::testing::Test {
    TransportParts t{"recv"}; // recovery passes run only when a test calls them
    tp::SentLog &out = t.out;
    int32_t nextTime = 1000;

    void feed(NOLVUDPPACKET p, const QHostAddress &from = kFrom, unsigned short port = kFromPort)
    {
        t.receive(p, from, port);
    }
    void feedAll(const std::vector<NOLVUDPPACKET> &ps)
    {
        for (const NOLVUDPPACKET &p : ps)
            feed(p);
    }
    std::vector<NOLVUDPPACKET> data(const QByteArray &body) { return tp::message(kDate, nextTime++, "DATA$peer", body); }
    const QList<NOLVUDPBUFFER *> &recv() { return t.incoming.all(); }
    // A recovery pass, its requests written at their pace.
    QList<QByteArray> recoveryPass()
    {
        t.recoveryPass.run();
        t.writeQueued();
        return out.texts("REQUEST");
    }
    // One of this unit's messages, sent to the peer the datagrams come from.
    NOLVUDPBUFFER *sendToPeer(const QByteArray &bytes) { return t.send(bytes, {SendTarget("127.0.0.3", kFromPort)}); }
};

// A whole unit, for what passes its socket's entry or the registry.
struct UnitReceiver : ::testing::Test {
    ManualClock clock;
    Peer unit{"recv", "127.0.0.2", 0};
    tp::Capture out{unit.unit()};

    void feed(NOLVUDPPACKET p) { UnitInspector::processPacket(unit.unit(), &p, kFrom, kFromPort); }
    void feedRaw(const QByteArray &bytes) { unit->receiveDatagram(bytes.constData(), bytes.size(), kFrom, kFromPort); }
    const QList<NOLVUDPBUFFER *> &recv() { return unit.unit().parts().incoming.all(); }
};

} // namespace

TEST_F(UnitReceiver, ShortAndLongDatagrams)
{
    auto ps = tp::message(kDate, 1000, "DATA$peer", "hello");
    QByteArray bytes = tp::bytesOf(ps[0]);
    feedRaw(bytes.left(547));
    feedRaw(bytes.left(48));
    feedRaw(QByteArray());
    unit->receiveDatagram(nullptr, 548, kFrom, kFromPort);
    EXPECT_TRUE(unit.received.isEmpty());
    EXPECT_TRUE(out.sent.isEmpty());
    EXPECT_TRUE(recv().isEmpty());

    // Longer datagrams are read as their first 548 bytes.
    feedRaw(bytes + QByteArray(300, 'x'));
    ASSERT_EQ(unit.received.size(), 1);
    EXPECT_EQ(unit.received[0], QByteArray("hello"));
}

TEST_F(Receiver, WrongTypeIsDroppedSilently)
{
    auto ps = data("hello");
    ps[0].type = 3;
    feed(ps[0]);
    EXPECT_TRUE(out.sent.isEmpty());
    EXPECT_TRUE(recv().isEmpty());
    EXPECT_TRUE(t.logs.isEmpty());
}

TEST_F(Receiver, IndexOrTotalOutOfRangeIsDropped)
{
    auto bad = [&](int index, int total, int len = 10) {
        NOLVUDPPACKET p = tp::packet(kDate, nextTime++, index, total, "DATA$peer");
        p.len = static_cast<int16_t>(len); // len is outside the checksum
        feed(p);
    };
    bad(0, 1);
    bad(-1, 3);
    bad(2, 1);
    bad(4, 3);
    bad(1, 0);
    bad(1, -5);
    bad(1, 1, -1);
    bad(1, 1, 501);
    EXPECT_TRUE(recv().isEmpty());
    EXPECT_TRUE(t.received.isEmpty());
    EXPECT_TRUE(out.sent.isEmpty());

    // A total that disagrees with the record: dropped, the record is untouched.
    auto ps = data(QByteArray(900, 'm')); // two packets
    feed(ps[0]);
    ASSERT_EQ(recv().size(), 1);
    NOLVUDPPACKET other = tp::packet(ps[0].date, ps[0].time, 2, 3, QByteArray(500, 'o'));
    feed(other);
    other = tp::packet(ps[0].date, ps[0].time, 3, 3, QByteArray(500, 'o'));
    feed(other);
    EXPECT_EQ(recv()[0]->count, 1);
    EXPECT_EQ(recv()[0]->total, 2);
    feed(ps[1]);
    ASSERT_EQ(t.received.size(), 1);
    EXPECT_EQ(t.received[0], QByteArray(900, 'm'));
}

TEST_F(Receiver, DamagedPacketIsRequestedAndNotStored)
{
    auto ps = data("abc");
    ps[0].data[400] = 1; // in the padding: the checksum covers it
    feed(ps[0]);
    EXPECT_TRUE(recv().isEmpty());
    EXPECT_TRUE(t.received.isEmpty());
    const QByteArray key = "$" + QByteArray::number(kDate) + "$" + QByteArray::number(ps[0].time) + "$1";
    ASSERT_EQ(out.texts("REQUEST"), QList<QByteArray>{"REQUEST$recv" + key});
    EXPECT_EQ(out.sent[0].address, kFrom);
    EXPECT_EQ(out.sent[0].port, kFromPort);
    EXPECT_TRUE(t.hasLog("Request for Error Packet:REQUEST$recv" + key + " From:127.0.0.9"));
}

TEST_F(Receiver, HeaderWithoutZeroByteIsAnUnknownWord)
{
    QByteArray head(80, 'Z');
    NOLVUDPPACKET p = tp::single(kDate, nextTime++, head + QByteArray(420, 'Y'));
    feed(p);
    ASSERT_EQ(out.countWord("UNKOWN"), 1);
    // The word in the answer is the 80 header bytes, no more.
    EXPECT_EQ(out.texts("UNKOWN")[0], "UNKOWN$recv$Word Unkown:" + head);
    EXPECT_TRUE(t.hasLog("Unkown Protocal word:" + head + " From:127.0.0.3"));
}

TEST_F(Receiver, UnknownWordIsAnsweredWithUnkown)
{
    feed(tp::single(kDate, nextTime++, "HELLO$peer"));
    EXPECT_EQ(out.texts("UNKOWN"), QList<QByteArray>{"UNKOWN$recv$Word Unkown:HELLO"});
    EXPECT_TRUE(t.hasLog("Unkown Protocal word:HELLO From:127.0.0.3"));
    EXPECT_TRUE(recv().isEmpty());
}

TEST_F(Receiver, LowerCaseDataIsDispatchedAsData)
{
    feedAll(tp::message(kDate, nextTime++, "data$peer", "lower"));
    ASSERT_EQ(t.received.size(), 1);
    EXPECT_EQ(t.received[0], QByteArray("lower"));
    EXPECT_EQ(out.countWord("RECEIVED"), 1);
}

TEST_F(Receiver, EmptyDataReachesTheHostWithLengthZero)
{
    feedAll(data(QByteArray()));
    ASSERT_EQ(t.received.size(), 1);
    EXPECT_TRUE(t.received[0].isEmpty());
}

TEST_F(Receiver, OutOfOrderPacketsAreDeliveredOnce)
{
    QByteArray body(2400, '\0');
    for (int i = 0; i < body.size(); ++i)
        body[i] = char(i * 7);
    auto ps = data(body); // 5 packets
    ASSERT_EQ(ps.size(), 5u);
    for (int i : {4, 2, 0, 3})
        feed(ps[i]);
    EXPECT_TRUE(t.received.isEmpty());
    EXPECT_EQ(out.countWord("RECEIVED"), 0);
    feed(ps[1]);
    ASSERT_EQ(t.received.size(), 1);
    EXPECT_EQ(t.received[0], body);
    const QByteArray key = "$" + QByteArray::number(kDate) + "$" + QByteArray::number(ps[0].time) + " Total:5";
    EXPECT_EQ(out.texts("RECEIVED"), QList<QByteArray>{"RECEIVED$recv" + key});
    EXPECT_TRUE(t.hasLog("Packet Received:" + key + " From:127.0.0.3"));
}

TEST_F(Receiver, RepeatsWithinAndAfterExpiry)
{
    auto ps = data("once");
    feed(ps[0]);
    ASSERT_EQ(t.received.size(), 1);
    ASSERT_EQ(out.countWord("RECEIVED"), 1);

    // A repeat while the record is kept: not delivered again; the RECEIVED
    // is sent again, since the first one may have been lost.
    feed(ps[0]);
    EXPECT_EQ(t.received.size(), 1);
    EXPECT_EQ(t.countLogs("Repeated Data:"), 1);
    EXPECT_EQ(out.countWord("RECEIVED"), 2);
    EXPECT_EQ(out.texts("RECEIVED")[0], out.texts("RECEIVED")[1]);

    // Ten ticks keep it, the eleventh removes it.
    for (int i = 0; i < 10; ++i)
        t.tick();
    EXPECT_EQ(recv().size(), 1);
    t.tick();
    EXPECT_TRUE(recv().isEmpty());
    EXPECT_EQ(t.countLogs("Delete expired buffer:"), 1);

    // After expiry the same datagram is a new message.
    feed(ps[0]);
    EXPECT_EQ(t.received.size(), 2);
    EXPECT_EQ(out.countWord("RECEIVED"), 3);
}

TEST_F(Receiver, RepeatOfAPartialMessageIsNotAcknowledged)
{
    auto ps = data(QByteArray(700, 'p'));
    feed(ps[0]);
    feed(ps[0]);
    EXPECT_EQ(t.countLogs("Repeated Data:"), 1);
    EXPECT_TRUE(out.sent.isEmpty());
}

TEST_F(Receiver, ReleasedWordsAreHandledEveryTime)
{
    NOLVUDPPACKET req = tp::single(kDate, nextTime++, "REQUEST$peer$1$2$1");
    feed(req);
    feed(req);
    EXPECT_EQ(t.countLogs("Can't Answer lost packet:"), 2);
    EXPECT_TRUE(recv().isEmpty());
}

TEST_F(Receiver, SameIdentityFromTwoPortsMakesTwoRecords)
{
    auto ps = data(QByteArray(600, 'q')); // two packets
    feed(ps[0], kFrom, 47000);
    feed(ps[0], kFrom, 47001);
    ASSERT_EQ(recv().size(), 2);
    EXPECT_EQ(t.countLogs("Repeated Data:"), 0);
    feed(ps[1], kFrom, 47001);
    feed(ps[1], kFrom, 47000);
    EXPECT_EQ(t.received.size(), 2);
    ASSERT_EQ(out.countWord("RECEIVED"), 2);
    EXPECT_EQ(out.sent[0].port, 47001);
    EXPECT_EQ(out.sent[1].port, 47000);
}

// A peer that stamps a single-packet message with the identity of a longer
// message it is sending: the single one is a message of its own.
TEST_F(UnitReceiver, OnePacketMessageWithTheIdentityOfALongerOneIsHandled)
{
    auto ps = tp::message(kDate, 1000, "DATA$peer", QByteArray(700, 'p')); // two packets
    feed(ps[0]);
    feed(tp::single(kDate, ps[0].time, "ALIVE$peer"));
    EXPECT_EQ(out.countWord("RE_ALIVE"), 1);
    feed(tp::message(kDate, ps[0].time, "DATA$peer", "one")[0]);
    ASSERT_EQ(unit.received.size(), 1);
    EXPECT_EQ(unit.received[0], QByteArray("one"));
    feed(ps[1]);
    EXPECT_EQ(unit.received.size(), 2);
    EXPECT_EQ(unit.countLogs("Repeated Data:"), 0);
    EXPECT_EQ(recv().size(), 1) << "only the longer message is kept";
}

TEST_F(UnitReceiver, ControlWordAsMultiPacketMessageIsKeptUntilExpiry)
{
    // A two-packet ALIVE: handled once, its record stays in the table.
    auto ps = tp::message(kDate, 1000, "ALIVE$peer", QByteArray(600, 'c'));
    ASSERT_EQ(ps.size(), 2u);
    feed(ps[0]);
    feed(ps[1]);
    ASSERT_EQ(recv().size(), 1);
    EXPECT_EQ(recv()[0]->count, 2);
    feed(ps[1]); // a repeat reads the kept record
    EXPECT_EQ(unit.countLogs("Repeated Data:"), 1);
    for (int i = 0; i < 11; ++i)
        unit.tick();
    EXPECT_TRUE(recv().isEmpty());
}

TEST_F(Receiver, RequestOutsideTheBufferIsNotAnswered)
{
    NOLVUDPBUFFER *b = sendToPeer(QByteArray(600, 'r')); // two packets
    ASSERT_EQ(b->total, 2);
    t.writeQueued();
    out.sent.clear();
    const QByteArray id = QByteArray::number(b->date) + "$" + QByteArray::number(b->time);
    for (const char *index : {"0", "3", "32767", "99999999999", "-1", "x"})
        feed(tp::single(kDate, nextTime++, "REQUEST$peer$" + id + "$" + index));
    EXPECT_EQ(t.countLogs("Can't Answer lost packet:"), 6);
    EXPECT_TRUE(out.sent.isEmpty());

    feed(tp::single(kDate, nextTime++, "REQUEST$peer$" + id + "$2"));
    t.writeQueued();
    ASSERT_EQ(out.sent.size(), 1);
    NOLVUDPPACKET second;
    ASSERT_TRUE(makePacket(b, 1, second));
    EXPECT_EQ(tp::unmarked(out.sent[0].datagram), tp::bytesOf(second));
    EXPECT_EQ(out.sent[0].address, kFrom);
    EXPECT_EQ(t.countLogs("Answer lost packet:"), 1);
}

TEST_F(Receiver, LostPacketsAreRequestedPromptlyAndAgain)
{
    auto ps = data(QByteArray(2400, 'l')); // five packets
    ASSERT_EQ(ps.size(), 5u);
    feed(ps[0]);
    feed(ps[1]);
    feed(ps[3]);
    const QByteArray id = "REQUEST$recv$" + QByteArray::number(kDate) + "$" + QByteArray::number(ps[0].time) + "$";
    t.clock.advance(35);
    EXPECT_TRUE(recoveryPass().isEmpty()); // a sender that is merely slow is not asked yet
    t.clock.advance(1);
    // The gap below the highest packet: one sender's datagrams come in order.
    EXPECT_EQ(recoveryPass(), QList<QByteArray>{id + "3"});
    EXPECT_EQ(t.countLogs("Request for Lost Packet:" + id), 1);
    EXPECT_EQ(out.sent[0].address, kFrom);
    EXPECT_EQ(out.sent[0].port, kFromPort);
    t.clock.advance(23); // an unanswered round doubles the quiet interval
    EXPECT_EQ(recoveryPass().size(), 1);
    t.clock.advance(1);
    EXPECT_EQ(recoveryPass().size(), 2);
    // Packet 1 again: the sender has written it all, so the tail is lost too.
    feed(ps[0]);
    EXPECT_EQ(recoveryPass().mid(2), (QList<QByteArray>{id + "3", id + "5"}));
    feed(ps[4]); // the last packet shows every gap: asked for at once
    EXPECT_EQ(recoveryPass().mid(4), QList<QByteArray>{id + "3"});
    feed(ps[2]);
    ASSERT_EQ(t.received.size(), 1);
    t.clock.advance(5000);
    EXPECT_EQ(recoveryPass().size(), 5); // a complete message asks for nothing
}

TEST_F(Receiver, RequestsWaitWhileDatagramsWaitToBeRead)
{
    auto ps = data(QByteArray(2400, 'w'));
    feed(ps[0]);
    feed(ps[1]);
    feed(ps[3]);
    t.clock.advance(36);
    t.backlog = true; // what the pass's read turn left in the socket may hold packet 3
    EXPECT_TRUE(recoveryPass().isEmpty());
    t.backlog = false;
    EXPECT_EQ(recoveryPass().size(), 1);
    // A backlog that does not clear holds requests back a tenth of a second.
    t.backlog = true;
    t.clock.advance(60);
    EXPECT_EQ(recoveryPass().size(), 1);
    t.clock.advance(100);
    EXPECT_EQ(recoveryPass().size(), 2);
}

TEST_F(Receiver, SenderPausesAreNotTakenForLoss)
{
    // Without a repeat of packet 1 the packets after the highest are asked
    // for after 400 ms of silence, or four of the sender's pauses if longer:
    // a sender writing to many destinations comes back every 150 ms here.
    auto quick = data(QByteArray(2400, 'q'));
    auto paced = data(QByteArray(2400, 's'));
    auto askedFor = [this](const std::vector<NOLVUDPPACKET> &ps) {
        const QByteArray key = "$" + QByteArray::number(ps[0].time) + "$";
        const QList<QByteArray> asked = recoveryPass();
        return int(std::count_if(asked.begin(), asked.end(), [&](const QByteArray &r) { return r.contains(key); }));
    };
    feed(quick[0]);
    feed(paced[0]);
    t.clock.advance(150);
    feed(paced[1]);
    t.clock.advance(249);
    EXPECT_EQ(askedFor(quick), 0);
    t.clock.advance(1);
    EXPECT_EQ(askedFor(quick), 4); // packets 2 to 5
    t.clock.advance(349);
    EXPECT_EQ(askedFor(paced), 0);
    t.clock.advance(1);
    EXPECT_EQ(askedFor(paced), 3);
}

TEST_F(Receiver, RequestsAndAnswersGoFifteenARound)
{
    // Only the last of 41 packets arrived: one round of 40 requests, written
    // as a buffer's packets go to a sender that does not mark its datagrams:
    // fifteen a round.
    auto ps = data(QByteArray(41 * 500 - 80, 'p'));
    feed(ps[40]);
    t.recoveryPass.run();
    EXPECT_EQ(out.countWord("REQUEST"), 15);
    t.clock.advance(2);
    t.writer.run();
    EXPECT_EQ(out.countWord("REQUEST"), 30);
    EXPECT_EQ(recoveryPass().size(), 40);

    // Forty requests for a buffer of this unit: forty answers, paced per receiver.
    NOLVUDPBUFFER *b = sendToPeer(QByteArray(41 * 500 - 80, 'q'));
    t.writeQueued();
    const QByteArray id = "REQUEST$peer$" + QByteArray::number(b->date) + "$" + QByteArray::number(b->time) + "$";
    out.sent.clear();
    t.clock.advance(2);
    for (int i = 1; i <= 40; ++i)
        feed(tp::single(kDate, nextTime++, id + QByteArray::number(i)));
    EXPECT_EQ(out.sent.size(), 15);
    t.writeQueued();
    ASSERT_EQ(out.sent.size(), 40);
    NOLVUDPPACKET last;
    ASSERT_TRUE(makePacket(b, 39, last));
    EXPECT_EQ(tp::unmarked(out.sent[39].datagram), tp::bytesOf(last));
    EXPECT_EQ(t.countLogs("Answer lost packet:"), 40);
}

TEST_F(Receiver, UnansweredRoundsBackOffUntilExpiry)
{
    // One forged datagram, the last packet of a 32,767-packet message: every
    // round asks for at most 64 packets, rounds that bring nothing back off
    // up to one per tick period, and the asking ends when the record expires.
    feed(tp::packet(kDate, nextTime++, 32767, 32767, "DATA$peer"));
    QList<int> rounds; // requests of each round
    for (int ms = 0; ms <= 24000; ms += 4) {
        t.clock.advance(4);
        const int before = t.countLogs("Request for Lost Packet:");
        t.recoveryPass.run();
        if (t.countLogs("Request for Lost Packet:") > before)
            rounds << t.countLogs("Request for Lost Packet:") - before;
        if (ms % 2000 == 0)
            t.tick();
    }
    EXPECT_TRUE(recv().isEmpty());
    ASSERT_GE(rounds.size(), 8); // asking went on after the ages 3 and 6
    EXPECT_LE(rounds.size(), 16);
    for (int n : rounds)
        EXPECT_EQ(n, 64);
    EXPECT_EQ(out.texts("REQUEST").first(), "REQUEST$recv$" + QByteArray::number(kDate) + "$" +
                                                 QByteArray::number(nextTime - 1) + "$1");
}

TEST_F(Receiver, DataFailOnlyWithMoreThan500Buffers)
{
    // Partial records brought straight to age 9: the lost-packet requests of
    // the earlier ticks are covered above.
    auto fillAtAgeNine = [&](int n) {
        for (int i = 0; i < n; ++i)
            feed(data(QByteArray(600, 'f'))[0]); // first of two packets
        for (NOLVUDPBUFFER *b : recv())
            b->age = 9;
    };
    platform::setSleepFunction([](int) {});
    fillAtAgeNine(500);
    t.tick();
    EXPECT_EQ(out.countWord("DATAFAIL"), 0);
    t.tick();
    ASSERT_TRUE(recv().isEmpty());
    EXPECT_EQ(t.countLogs("Delete expired buffer:"), 500);

    fillAtAgeNine(501);
    const qsizetype logged = t.logs.size();
    t.tick();
    platform::setSleepFunction(nullptr);
    EXPECT_EQ(out.countWord("DATAFAIL"), 501);
    EXPECT_EQ(out.sent.size(), 501);
    const NOLVUDPBUFFER *first = recv().first();
    const QByteArray key = "$" + QByteArray::number(first->date) + "$" + QByteArray::number(first->time);
    EXPECT_EQ(out.texts("DATAFAIL")[0], "DATAFAIL$recv" + key);
    // "Request failed:" goes to udpLog only, without a time stamp.
    ASSERT_GT(t.logs.size(), logged);
    EXPECT_EQ(t.logs[logged], "Request failed:" + key + " From:127.0.0.3");
    EXPECT_EQ(t.countLogs("Delete expired buffer:"), 500);
}

TEST_F(Receiver, ExpiryWaitsForADispatchStillRunning)
{
    // A handler under which the timer job runs (a host that waits in its
    // window procedure) until the record it works on is past its age: the
    // record must survive until the handler returns.
    auto ps = data(QByteArray(600, 'n')); // two packets
    feed(ps[0]);
    int checked = 0;
    t.onData = [&](const QByteArray &) {
        for (int i = 0; i < 11; ++i)
            t.recoveryPass.expireRecords(); // nested, as from a wait
        ++checked;
    };
    feed(ps[1]);
    EXPECT_EQ(checked, 1);
    ASSERT_EQ(t.received.size(), 1);
    EXPECT_EQ(t.received[0], QByteArray(600, 'n'));
    EXPECT_EQ(t.countLogs("Packet Received:"), 1);
    ASSERT_EQ(recv().size(), 1); // still held: removal deferred
    EXPECT_EQ(recv()[0]->age, 10);
    t.recoveryPass.expireRecords();
    EXPECT_TRUE(recv().isEmpty());
    EXPECT_EQ(t.countLogs("Delete expired buffer:"), 1);
}

// A peer that stamps its acknowledgement with the identity of a one-packet
// message it sent within the same millisecond: the acknowledgement is a
// message of its own, not a repeat of the kept one.
TEST_F(Receiver, AnotherMessageUnderAKeptOnePacketIdentityIsHandled)
{
    NOLVUDPBUFFER *b = sendToPeer("ours");
    const int32_t same = nextTime++;
    feed(tp::message(kDate, same, "DATA$peer", "theirs")[0]);
    ASSERT_EQ(t.received.size(), 1);
    feed(tp::single(kDate, same,
                    "RECEIVED$peer$" + QByteArray::number(b->date) + "$" + QByteArray::number(b->time) + " Total:1"));
    EXPECT_EQ(t.countLogs("Repeated Data:"), 0);
    EXPECT_EQ(t.countLogs("Packet send success:"), 1);
    feed(tp::message(kDate, same, "DATA$peer",
                     "theirs")[0]); // the very datagram again: a repeat
    EXPECT_EQ(t.countLogs("Repeated Data:"), 1);
    EXPECT_EQ(t.received.size(), 1);
}

// A record lives while its packets keep coming: it goes at the eleventh tick
// after its last new packet, however long ago its first one came.
TEST_F(Receiver, AnIncompleteRecordLivesWhileItProgresses)
{
    auto ps = data(QByteArray(40 * 500 - 80, 'g')); // 40 packets, one a tick
    for (int tick = 0; tick < 20; ++tick) {
        feed(ps[size_t(tick)]);
        t.tick();
    }
    ASSERT_EQ(recv().size(), 1);
    EXPECT_EQ(recv()[0]->count, 20);
    EXPECT_FALSE(t.hasLog("Delete expired buffer:"));
    for (int tick = 0; tick < 9; ++tick)
        t.tick();
    EXPECT_EQ(recv().size(), 1);
    t.tick();
    EXPECT_TRUE(recv().isEmpty());
    EXPECT_EQ(t.countLogs("Delete expired buffer:"), 1);
}
