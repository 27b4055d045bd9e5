// End to end over real sockets: two units exchange messages of every size
// up to many packets, exactly once and intact, also when the network loses,
// repeats, reorders or damages datagrams (injected through the sender's tap).
#include <gtest/gtest.h>

#include <QUdpSocket>

#include "support/peer.h"
#include "support/round_clock.h"
#include "transport_packets.h"

namespace {

QByteArray block(int n, int seed)
{
    QByteArray b(n, '\0');
    quint32 x = 2654435761u * quint32(seed + 1);
    for (int i = 0; i < n; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = char(x >> 24);
    }
    return b;
}

int hostBytesFor(int packets) { return packets * 500 - 80; }

struct Pair : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(haveTestAddresses()); }

    RoundClock clock; // resends and recovery rounds come after the same traffic however busy the machine
    Peer a{"alice", "127.0.0.2", 46201};
    Peer b{"bob", "127.0.0.3", 46202};

    void send(const QByteArray &bytes) { a->sendBufferToServer(bytes.constData(), int(bytes.size()), "127.0.0.3", 46202, nullptr); }
    bool delivered(int n = 1) { return pumpUntil([&] { return b.received.size() >= n; }); }
    bool acknowledged(int n = 1) { return pumpUntil([&] { return a.countLogs("Packet send success:") >= n; }); }
};

// Passes every datagram but lets the test pick some to drop, repeat or hold.
// The marks go: to the receiver the sender is a peer of the protocol's own
// pace, so what is lost is asked for with a REQUEST per packet.
struct Faults {
    explicit Faults(MUDPUnit &unit) : unit(&unit)
    {
        unit.setOutgoingTap([this](QByteArray &d, QHostAddress &addr, quint16 &port) {
            ++seen;
            d = tp::unmarked(d);
            const NOLVUDPPACKET p = tp::packetOf(d);
            sent << p.index;
            if (decide)
                return decide(p, d, addr, port);
            return true;
        });
    }
    ~Faults() { unit->setOutgoingTap(nullptr); }
    std::function<bool(const NOLVUDPPACKET &, QByteArray &, QHostAddress &, quint16 &)> decide;
    MUDPUnit *unit;
    int seen = 0;
    QList<int> sent;
};

} // namespace

TEST_F(Pair, MessagesOfManySizesArriveOnceAndIntact)
{
    const int sizes[] = {1, 2, 40, 2000};
    int n = 0;
    for (int packets : sizes) {
        SCOPED_TRACE(packets);
        const QByteArray bytes = block(hostBytesFor(packets), packets);
        send(bytes);
        ++n;
        ASSERT_TRUE(delivered(n));
        EXPECT_EQ(b.received.last(), bytes);
        ASSERT_TRUE(acknowledged(n));
        EXPECT_EQ(a.unit().parts().outgoing.all().last()->total, packets);
    }
    ASSERT_TRUE(settle());
    EXPECT_EQ(b.received.size(), n);
    EXPECT_EQ(b.countLogs("Repeated Data:"), 0);
    EXPECT_EQ(b.countLogs("Packet Received:"), n);
    // Acknowledged records go at the next tick, with no resend.
    a.tick();
    EXPECT_EQ(a.countLogs("delete registed UDP package:"), n);
    EXPECT_EQ(a.countLogs("repeat send UDP package:"), 0);
    EXPECT_TRUE(a.unit().parts().sends.all().isEmpty());
    // The success line names the buffer, its size and the sender's address.
    const NOLVUDPBUFFER *last = a.unit().parts().outgoing.all().last();
    EXPECT_TRUE(a.hasLog(QStringLiteral("Packet send success:$%1$%2 Total:2000 To 127.0.0.2")
                             .arg(last->date).arg(last->time)));
}

TEST_F(Pair, LostPacketIsRequestedAndAnswered)
{
    Faults net(a.unit());
    bool dropped = false;
    net.decide = [&](const NOLVUDPPACKET &p, QByteArray &, QHostAddress &, quint16 &) {
        if (p.index == 2 && p.total == 3 && !dropped) {
            dropped = true;
            return false;
        }
        return true;
    };
    const QByteArray bytes = block(hostBytesFor(3), 7);
    send(bytes);
    // The last packet came with a gap before it: asked for at once, no tick.
    ASSERT_TRUE(delivered());
    ASSERT_TRUE(dropped);
    EXPECT_EQ(b.received[0], bytes);
    EXPECT_EQ(b.countLogs("Request for Lost Packet:"), 1);
    ASSERT_TRUE(acknowledged());
    EXPECT_EQ(a.countLogs("Answer lost packet:"), 1);
}

TEST_F(Pair, WholeMessageLostIsRecoveredFromAnEarlyResendOfTheFirstPacket)
{
    Faults net(a.unit());
    int lost = 0;
    net.decide = [&](const NOLVUDPPACKET &p, QByteArray &, QHostAddress &, quint16 &) {
        return !(p.total == 4 && lost++ < 4); // the first write of each packet
    };
    const QByteArray bytes = block(hostBytesFor(4), 8);
    send(bytes);
    // Packet 1 goes again before any tick; the receiver asks for the last
    // packet, then for the gaps it shows.
    ASSERT_TRUE(delivered());
    EXPECT_EQ(b.received[0], bytes);
    EXPECT_EQ(b.countLogs("Request for Lost Packet:"), 3);
    ASSERT_TRUE(acknowledged());
    EXPECT_EQ(a.countLogs("repeat send UDP package:"), 0); // early resends are not the tick's
    EXPECT_EQ(a.unit().parts().sends.all().first()->retries, wire::kRemoveMark);
}

TEST_F(Pair, DuplicatedReorderedAndDamagedDatagrams)
{
    Faults net(a.unit());
    QList<QByteArray> held;
    bool damaged = false;
    QUdpSocket *socket = a.unit().parts().socket.socket();
    net.decide = [&](const NOLVUDPPACKET &p, QByteArray &d, QHostAddress &addr, quint16 &port) {
        if (p.total != 5)
            return true;
        if (p.index == 1) { // held back, sent after the last one
            held << d;
            return false;
        }
        if (p.index == 3 && !damaged) { // damaged once: the answer passes
            damaged = true;
            QByteArray copy = d;
            copy[48 + 499] = char(copy[48 + 499] ^ 0x40);
            socket->writeDatagram(copy, addr, port);
            return false;
        }
        if (p.index == 4) // repeated
            socket->writeDatagram(d, addr, port);
        if (p.index == 5)
            for (const QByteArray &h : held)
                socket->writeDatagram(h, addr, port);
        return true;
    };
    const QByteArray bytes = block(hostBytesFor(5), 9);
    send(bytes);
    // Packet 3 arrived damaged: the receiver asked for it at once, and the
    // answer from the stored buffer completes the message.
    ASSERT_TRUE(delivered());
    EXPECT_EQ(b.received[0], bytes);
    EXPECT_EQ(b.countLogs("Request for Error Packet:"), 1);
    EXPECT_EQ(b.countLogs("Repeated Data:"), 1);
    ASSERT_TRUE(acknowledged());
    EXPECT_EQ(a.countLogs("Answer lost packet:"), 1);
    ASSERT_TRUE(settle());
    EXPECT_EQ(b.received.size(), 1);
}

TEST_F(Pair, LostReceivedDoesNotTurnDeliveryIntoFailure)
{
    Faults back(b.unit());
    int receivedDropped = 0;
    back.decide = [&](const NOLVUDPPACKET &p, QByteArray &, QHostAddress &, quint16 &) {
        if (tp::wordOf(tp::bytesOf(p)) == "RECEIVED" && receivedDropped == 0) {
            ++receivedDropped;
            return false;
        }
        return true;
    };
    const QByteArray bytes = block(hostBytesFor(2), 10);
    send(bytes);
    ASSERT_TRUE(delivered());
    ASSERT_TRUE(settle());
    ASSERT_EQ(receivedDropped, 1);
    EXPECT_FALSE(a.hasLog("Packet send success:"));

    // The early resend of packet 1 is a repeat at the receiver, which
    // acknowledges again without handing the message over a second time.
    ASSERT_TRUE(acknowledged());
    ASSERT_TRUE(settle());
    EXPECT_EQ(b.received.size(), 1);
    EXPECT_GE(b.countLogs("Repeated Data:"), 1);
    a.tick();
    EXPECT_EQ(a.countLogs("delete registed UDP package:"), 1);
    EXPECT_FALSE(a.hasLog("UDP package send failed:"));
    EXPECT_EQ(a.countLogs("repeat send UDP package:"), 0);
}

TEST_F(Pair, SilentDestinationIsGivenUpAfterSixResends)
{
    // Nothing listens on 127.0.0.4:46299. Between ticks packet 1 goes again
    // three times, later each time, unlogged and spending no retry.
    Faults net(a.unit());
    a->sendBufferToServer("x", 1, "127.0.0.4", 46299, nullptr);
    ASSERT_EQ(a.unit().parts().sends.all().size(), 1);
    ASSERT_TRUE(pumpUntil([&] { return net.seen == 4; }));
    ASSERT_TRUE(RoundClock::pass(900)); // and no fourth follows
    EXPECT_EQ(net.seen, 4);
    EXPECT_TRUE(a.logs.isEmpty());
    EXPECT_EQ(a.unit().parts().sends.all().first()->retries, 6);
    for (int tick = 1; tick <= 6; ++tick) {
        a.tick();
        EXPECT_EQ(a.countLogs("repeat send UDP package:"), tick);
        EXPECT_FALSE(a.hasLog("UDP package send failed:"));
    }
    EXPECT_EQ(a.unit().parts().sends.all().first()->retries, 0);
    a.tick();
    EXPECT_EQ(a.countLogs("UDP package send failed:"), 1);
    EXPECT_FALSE(a.hasLog("delete registed UDP package:"));
    a.tick();
    EXPECT_EQ(a.countLogs("delete registed UDP package:"), 1);
    EXPECT_TRUE(a.unit().parts().sends.all().isEmpty());
    a.tick();
    EXPECT_EQ(a.countLogs("repeat send UDP package:"), 6);
    EXPECT_TRUE(a.logs.filter("UDP package send failed:").first().contains(" To 127.0.0.4:46299"));
}

TEST_F(Pair, PushedOutBufferCannotBeResent)
{
    Faults net(a.unit());
    net.decide = [](const NOLVUDPPACKET &, QByteArray &, QHostAddress &, quint16 &) { return false; };
    a->sendBufferToServer("x", 1, "127.0.0.4", 46299, nullptr);
    for (int i = 0; i < 500; ++i)
        UnitInspector::buildBuffer(a.unit(), "filler");
    a.tick();
    EXPECT_EQ(a.countLogs("can't find udp package:"), 1);
    EXPECT_EQ(a.unit().parts().sends.all().first()->retries, 5);
}

TEST_F(Pair, TickDuringTheSendDoesNotResend)
{
    // A timer tick while the message is still being written (here: from the
    // tap, halfway through a 40-packet message) resends nothing and spends
    // no retry.
    Faults net(a.unit());
    int retriesSeen = -1;
    net.decide = [&](const NOLVUDPPACKET &p, QByteArray &, QHostAddress &, quint16 &) {
        if (p.total == 40 && p.index == 20 && retriesSeen < 0) {
            a.tick();
            retriesSeen = a.unit().parts().sends.all().first()->retries;
        }
        return true;
    };
    const QByteArray bytes = block(hostBytesFor(40), 11);
    send(bytes);
    ASSERT_TRUE(delivered());
    EXPECT_EQ(retriesSeen, 6);
    EXPECT_EQ(a.countLogs("repeat send UDP package:"), 0);
    EXPECT_EQ(b.received[0], bytes);
    ASSERT_TRUE(acknowledged());
    EXPECT_EQ(b.countLogs("Repeated Data:"), 0);
}

TEST_F(Pair, MalformedDatagramsFromTheSocketAreDropped)
{
    QUdpSocket raw;
    ASSERT_TRUE(raw.bind(QHostAddress("127.0.0.4"), 46203));
    const QHostAddress to("127.0.0.3");
    const auto ps = tp::message(2461000, 5, "DATA$raw", "payload");
    const QByteArray good = tp::bytesOf(ps[0]);
    NOLVUDPPACKET wrongType = ps[0];
    wrongType.type = 7;
    NOLVUDPPACKET badIndex = tp::packet(2461000, 6, 3, 2, "DATA$raw");
    raw.writeDatagram(good.left(547), to, 46202);
    raw.writeDatagram(QByteArray(), to, 46202);
    raw.writeDatagram(tp::bytesOf(wrongType), to, 46202);
    raw.writeDatagram(tp::bytesOf(badIndex), to, 46202);
    raw.writeDatagram(good + QByteArray(1000, '\x7f'), to, 46202); // read as its first 548 bytes
    ASSERT_TRUE(delivered());
    ASSERT_TRUE(settle());
    ASSERT_EQ(b.received.size(), 1);
    EXPECT_EQ(b.received[0], QByteArray("payload"));
    EXPECT_EQ(b.unit().parts().incoming.all().size(), 1);
    // The RECEIVED goes back to the source port.
    ASSERT_TRUE(pumpUntil([&] { return raw.hasPendingDatagrams(); }));
    QByteArray answer(600, '\0');
    answer.resize(raw.readDatagram(answer.data(), answer.size()));
    EXPECT_EQ(tp::wordOf(answer), "RECEIVED");
}
