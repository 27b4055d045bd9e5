// Packet layout, message building and header parsing.
#include <gtest/gtest.h>

#include "platform/sleep.h"
#include "support/peer.h"
#include "transport/identity.h"
#include "transport_packets.h"

namespace {

QByteArray pattern(int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char('a' + i % 23);
    return b;
}

void expectWellBuilt(NOLVUDPBUFFER *b, const char *addr)
{
    for (int i = 0; i < b->total; ++i) {
        const NOLVUDPPACKET p = tp::packetOf(b, i);
        EXPECT_EQ(p.date, b->date);
        EXPECT_EQ(p.time, b->time);
        EXPECT_EQ(p.type, 2);
        EXPECT_STREQ(p.localIp, addr);
        EXPECT_EQ(p.localPort, 0);
        EXPECT_EQ(p.index, i + 1);
        EXPECT_EQ(p.total, b->total);
        EXPECT_EQ(p.checksum, tp::payloadChecksum(p)) << "packet " << i + 1;
        for (char c : p.reserved)
            EXPECT_EQ(c, 0);
        for (int k = p.len; k < wire::kPayloadSize; ++k)
            ASSERT_EQ(p.data[k], 0) << "padding of packet " << i + 1;
    }
}

} // namespace

TEST(TransportBuild, PacketCountsAndLengths)
{
    Peer a("alice", "127.0.0.2", 0);
    struct Case { int bytes; std::vector<int> lens; } cases[] = {
        {0, {80}}, {420, {500}}, {421, {500, 1}}, {1000, {500, 500, 80}}, {920, {500, 500}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bytes);
        const QByteArray host = pattern(c.bytes);
        NOLVUDPBUFFER *b = UnitInspector::buildBuffer(a.unit(), host);
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(b->total, int(c.lens.size()));
        EXPECT_EQ(b->count, b->total);
        EXPECT_EQ(b->age, 0);
        EXPECT_STREQ(b->ip, "127.0.0.2");
        for (size_t i = 0; i < c.lens.size(); ++i)
            EXPECT_EQ(tp::packetOf(b, i).len, c.lens[i]);
        expectWellBuilt(b, "127.0.0.2");

        // Header, then the host bytes in order across the packets.
        EXPECT_STREQ(tp::packetOf(b, 0).data, "DATA$alice");
        for (int k = 10; k < 80; ++k)
            ASSERT_EQ(tp::packetOf(b, 0).data[k], 0);
        QByteArray joined;
        for (int i = 0; i < b->total; ++i)
            joined += QByteArray(tp::packetOf(b, i).data, tp::packetOf(b, i).len);
        EXPECT_EQ(joined.mid(80), host);
    }
    // 1,000 bytes: packet 2 starts with host byte 420.
    const QByteArray host = pattern(1000);
    NOLVUDPBUFFER *b = UnitInspector::buildBuffer(a.unit(), host);
    EXPECT_EQ(tp::packetOf(b, 1).data[0], host[420]);
}

TEST(TransportBuild, GivenHeaderIsCutAt79Characters)
{
    Peer a("alice", "127.0.0.2", 0);
    const QByteArray longHeader = "TRANS$alice$0$0$0$" + QByteArray(100, 'x');
    NOLVUDPBUFFER *b = UnitInspector::buildBuffer(a.unit(), "body", longHeader.constData());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(strnlen(tp::packetOf(b, 0).data, 80), 79u);
    EXPECT_EQ(QByteArray(tp::packetOf(b, 0).data, 79), longHeader.left(79));
    EXPECT_EQ(QByteArray(tp::packetOf(b, 0).data + 80, 4), QByteArray("body"));
}

// Single and buffered messages sent within one millisecond (the waits do not
// sleep here) still carry identities of their own, rising and near the clock.
TEST(TransportBuild, EveryMessageHasItsOwnIdentity)
{
    platform::setSleepFunction([](int) {});
    Peer a("alice", "127.0.0.2", 0);
    tp::Capture out(a.unit());
    const MessageIdentity before = currentIdentity();
    for (int i = 0; i < 20; ++i) {
        NOLVUDPBUFFER *b = UnitInspector::buildBuffer(a.unit(), "x");
        UnitInspector::sendBufferToAddr(a.unit(), b, "127.0.0.3", 47000);
        UnitInspector::sendProtocol(a.unit(), "ALIVE$alice", "127.0.0.3", 47000);
    }
    const MessageIdentity after = currentIdentity();
    platform::setSleepFunction(nullptr);
    ASSERT_EQ(out.sent.size(), 40);
    const auto ms = [](const MessageIdentity &id) { return qint64(id.date) * 86400000 + id.time; };
    const auto at = [](const NOLVUDPPACKET &p) { return qint64(p.date) * 86400000 + p.time; };
    for (int i = 1; i < out.sent.size(); ++i)
        EXPECT_GT(at(tp::packetOf(out.sent[i].datagram)), at(tp::packetOf(out.sent[i - 1].datagram)));
    // From the clock on, and ahead of it by at most a millisecond a message.
    EXPECT_GE(at(tp::packetOf(out.sent.first().datagram)), ms(before));
    EXPECT_LE(at(tp::packetOf(out.sent.last().datagram)), ms(after) + 40);

    // Stepping on past the last millisecond of a day goes to the next day.
    MessageIdentity last{2460000, 86399999};
    const MessageIdentity next = nextIdentity(last, {2460000, 86399999});
    EXPECT_EQ(next.date, 2460001);
    EXPECT_EQ(next.time, 0);
    EXPECT_EQ(last.date, 2460001);
    // A clock ahead of the last identity is followed.
    EXPECT_EQ(nextIdentity(last, {2460001, 5000}).time, 5000);
}

TEST(TransportBuild, OldestOfFiveHundredBuffersIsDropped)
{
    Peer a("alice", "127.0.0.2", 0);
    tp::Capture out(a.unit());
    NOLVUDPBUFFER *first = UnitInspector::buildBuffer(a.unit(), "first");
    const int32_t date = first->date, time = first->time;
    for (int i = 1; i < 500; ++i)
        ASSERT_NE(UnitInspector::buildBuffer(a.unit(), "x"), nullptr);
    EXPECT_EQ(a.unit().parts().outgoing.all().size(), 500);
    EXPECT_EQ(a.unit().parts().outgoing.all().first()->time, time);
    UnitInspector::buildBuffer(a.unit(), "501st");
    EXPECT_EQ(a.unit().parts().outgoing.all().size(), 500);
    EXPECT_NE(a.unit().parts().outgoing.all().first()->time, time);

    // A REQUEST for the dropped buffer finds nothing and sends nothing.
    NOLVUDPPACKET req = tp::single(1, 1, "REQUEST$bob$" + QByteArray::number(date) + "$" +
                                             QByteArray::number(time) + "$1");
    UnitInspector::processPacket(a.unit(), &req, QHostAddress("127.0.0.3"), 47000);
    EXPECT_TRUE(a.hasLog("Can't Answer lost packet:"));
    EXPECT_TRUE(out.sent.isEmpty());
}

TEST(TransportBuild, MessagesBeyond32767PacketsAreRefused)
{
    Peer a("alice", "127.0.0.2", 0);
    tp::Capture out(a.unit());
    const int largest = 32767 * 500 - 80; // 16,383,420 host bytes
    QByteArray big(largest + 1, 'z');
    EXPECT_EQ(UnitInspector::buildBuffer(a.unit(), big), nullptr);
    EXPECT_TRUE(a.hasLog("Message too large to send:"));
    EXPECT_TRUE(a.unit().parts().outgoing.all().isEmpty());

    a->sendBufferToServer(big.constData(), int(big.size()), "127.0.0.3", 47000, nullptr);
    EXPECT_EQ(a.countLogs("Message too large to send:"), 2);
    EXPECT_TRUE(a.unit().parts().sends.all().isEmpty());
    EXPECT_TRUE(out.sent.isEmpty());

    big.chop(1);
    NOLVUDPBUFFER *b = UnitInspector::buildBuffer(a.unit(), big);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->total, 32767);
    EXPECT_EQ(tp::packetOf(b, 32766).index, 32767);
    EXPECT_EQ(tp::packetOf(b, 32766).len, 500);
}

TEST(TransportBuild, SendProtocolRefusesMoreThan500Bytes)
{
    Peer a("alice", "127.0.0.2", 46100);
    tp::Capture out(a.unit());
    UnitInspector::sendProtocol(a.unit(), QByteArray(500, 'q'), "127.0.0.3", 47000);
    ASSERT_EQ(out.sent.size(), 1);
    const NOLVUDPPACKET p = tp::packetOf(out.sent[0].datagram);
    EXPECT_EQ(out.sent[0].datagram.size(), 548);
    EXPECT_EQ(p.len, 500);
    EXPECT_EQ(p.index, 1);
    EXPECT_EQ(p.total, 1);
    EXPECT_EQ(p.localPort, 46100);
    EXPECT_STREQ(p.localIp, "127.0.0.2");
    EXPECT_EQ(p.checksum, tp::payloadChecksum(p));
    EXPECT_EQ(out.sent[0].address, QHostAddress("127.0.0.3"));
    EXPECT_EQ(out.sent[0].port, 47000);

    const qsizetype logsBefore = a.logs.size();
    UnitInspector::sendProtocol(a.unit(), QByteArray(501, 'q'), "127.0.0.3", 47000);
    EXPECT_EQ(out.sent.size(), 1);
    EXPECT_EQ(a.logs.size(), logsBefore);

    // An explicit size carries bytes past an inner zero byte.
    QByteArray withZero("AB\0CD", 5);
    UnitInspector::sendProtocol(a.unit(), withZero, "127.0.0.3", 47000, 5);
    ASSERT_EQ(out.sent.size(), 2);
    EXPECT_EQ(QByteArray(tp::packetOf(out.sent[1].datagram).data, 5), withZero);
    EXPECT_EQ(tp::packetOf(out.sent[1].datagram).len, 5);
}

TEST(TransportHeader, FieldsAndSeparators)
{
    auto parse = [](const QByteArray &s) { return HeaderFields::parse(s.constData(), int(s.size())); };

    HeaderFields h = parse("REQUEST$bob$2460000$123$4");
    EXPECT_EQ(h.size(), 5);
    EXPECT_STREQ(h.text(0), "REQUEST");
    EXPECT_STREQ(h.text(1), "bob");
    EXPECT_EQ(h.number(2), 2460000);
    EXPECT_EQ(h.number(4), 4);

    // "$$" is one separator: the empty field vanishes.
    h = parse("REGACC$$srv$0$$0$0$127.0.0.5$46000");
    EXPECT_STREQ(h.text(1), "srv");
    EXPECT_STREQ(h.text(5), "127.0.0.5");
    EXPECT_EQ(h.number(6), 46000);

    // Integer positions read their leading digits only.
    h = parse("RECEIVED$bob$2460000$4567 Total:12");
    EXPECT_EQ(h.number(3), 4567);
    EXPECT_STREQ(h.text(3), "4567 Total:12");
    h = parse("X$n$abc$-5$");
    EXPECT_EQ(h.number(2), 0);
    EXPECT_EQ(h.number(3), 0);
    EXPECT_EQ(h.number(6), 0);
    EXPECT_STREQ(h.text(6), "");

    // Fields beyond position 6 are ignored.
    h = parse("W$1$2$3$4$5$6$7$8");
    EXPECT_EQ(h.size(), 7);
    EXPECT_STREQ(h.text(6), "6");
}

TEST(TransportHeader, ParseStopsAt80BytesWithoutZeroByte)
{
    // 100 bytes without a zero: the word must end at byte 80.
    QByteArray s(100, 'A');
    HeaderFields h = HeaderFields::parse(s.constData(), int(s.size()));
    ASSERT_EQ(h.size(), 1);
    EXPECT_EQ(std::strlen(h.text(0)), 80u);

    // A text after byte 80 is not part of the header.
    QByteArray t = "DATA$bob" + QByteArray(72, '$') + "$TRANS";
    h = HeaderFields::parse(t.constData(), int(t.size()));
    EXPECT_EQ(h.size(), 2);
    EXPECT_STREQ(h.text(1), "bob");

    // A size below 80 is respected too.
    h = HeaderFields::parse("DATA$bob", 4);
    EXPECT_EQ(h.size(), 1);
    EXPECT_STREQ(h.text(0), "DATA");
}
