// Pacing toward peers that do not mark their datagrams: a message to many
// destinations goes to all of them in the same rounds, never more than
// fifteen of its packets to one destination in a round; single datagrams go
// at once, whatever their number. A request for a packet that the write in
// progress has not reached yet is left to it. Answers that are late all
// together cost no early resends.
#include <gtest/gtest.h>

#include <QMap>
#include <QUdpSocket>

#include "registry_support.h"
#include "support/transport_parts.h"
#include "transport_packets.h"

namespace {
constexpr unsigned short kServerPort = 46800;
constexpr int kClients = 12;
} // namespace

TEST(TransportFanOut, OneMessageToManyClientsTakesTheRoundsOfOne)
{
    TransportParts t;
    QList<SendTarget> clients;
    for (int i = 0; i < kClients; ++i)
        clients << SendTarget("127.0.0.3", quint16(kServerPort + 1 + i));

    // 100 packets to every client: packet 1 alone, then runs of fifteen, all
    // clients in each round.
    t.send(QByteArray(100 * 500 - 80, 'f'), clients);
    QList<QMap<quint16, int>> rounds;
    qsizetype written = 0;
    for (int round = 0; round < 20; ++round) {
        QMap<quint16, int> perClient;
        for (qsizetype k = written; k < t.out.sent.size(); ++k)
            ++perClient[t.out.sent[k].port];
        written = t.out.sent.size();
        if (!perClient.isEmpty())
            rounds << perClient;
        t.clock.advance(2);
        t.writer.run();
    }
    EXPECT_EQ(t.out.sent.size(), 100 * kClients);
    ASSERT_EQ(rounds.size(), 1 + 7); // as for one destination
    for (const auto &round : rounds) {
        EXPECT_EQ(round.size(), kClients);
        for (int n : round)
            EXPECT_LE(n, 15);
    }
    EXPECT_EQ(rounds.first().first(), 1);
}

TEST(TransportFanOut, SingleDatagramsGoAtOnce)
{
    ManualClock clock;
    Peer server("server", "127.0.0.2", 0);
    tp::Capture out(server.unit());
    // Forty heartbeats from forty peers, and forty from one: every answer is
    // written within the handling of its heartbeat.
    for (int i = 0; i < 40; ++i)
        inject(server.unit(), "ALIVE$p" + QByteArray::number(i), "127.0.0.3", kServerPort + 51 + i);
    for (int i = 0; i < 40; ++i)
        inject(server.unit(), "ALIVE$p", "127.0.0.3", kServerPort + 50);
    EXPECT_EQ(out.countWord("RE_ALIVE"), 80);
}

TEST(TransportFanOut, RequestsAheadOfTheWriteAreLeftToIt)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", kServerPort + 100);
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress("127.0.0.3"), kServerPort + 101));

    // As packet 2 goes out (packet 1 has gone), the receiver asks for packet
    // 1 and for packet 50.
    QMap<int, int> written;
    server.unit().setOutgoingTap([&](QByteArray &d, QHostAddress &, quint16 &) {
        const NOLVUDPPACKET p = tp::packetOf(d);
        if (p.total != 100)
            return true;
        if (++written[p.index] == 1 && p.index == 2) {
            const QByteArray id = "$" + QByteArray::number(p.date) + "$" + QByteArray::number(p.time) + "$";
            for (int index : {1, 50})
                inject(server.unit(), "REQUEST$raw" + id + QByteArray::number(index), "127.0.0.3",
                       kServerPort + 101);
        }
        return true;
    });
    const QByteArray block(100 * 500 - 80, 'r');
    server->sendBufferToClient(block.constData(), int(block.size()), "127.0.0.3", kServerPort + 101, nullptr);
    EXPECT_TRUE(pumpUntil([&] { return !server->hasQueuedWrites() && written.value(1) == 2; }));
    server.unit().setOutgoingTap(nullptr);

    EXPECT_EQ(written.value(1), 2);  // already written: answered
    EXPECT_EQ(written.value(50), 1); // ahead of the write: sent once, by it
    EXPECT_EQ(written.size(), 100);
    EXPECT_TRUE(server.hasLog("Request for a packet not sent yet ignored:"));
}

TEST(TransportFanOut, LateAnswersToAMessageForManyCostNoEarlyResends)
{
    // A message to twenty clients whose answers all come late and spread
    // out, as when the server or the clients are busy: none is written again
    // early before half of them answered, nor while the others' answers still
    // come in; then only those still silent, after their wait.
    TransportParts t;
    QList<SendTarget> clients;
    for (int i = 0; i < 20; ++i)
        clients << SendTarget("127.0.0.3", quint16(kServerPort + 1 + i));
    const NOLVUDPBUFFER *b = t.send(QByteArray(100, 'x'), clients);
    t.writeQueued();
    const qsizetype written = t.out.sent.size();
    ASSERT_EQ(written, 20);
    const auto pass = [&](int ms) {
        for (int step = 0; step < ms; step += 10) {
            t.clock.advance(10);
            t.sends.resendEarly(platform::monotonicMs());
            t.writeQueued();
        }
    };
    const auto answer = [&](int client) {
        const quint16 port = quint16(kServerPort + 1 + client);
        t.sends.noteHeard(t.sends.find(b->date, b->time, "127.0.0.3", port), true);
        t.sends.markDone(b->date, b->time, "127.0.0.3", port);
    };
    pass(300);
    EXPECT_EQ(t.out.sent.size(), written);
    for (int i = 0; i < 10; ++i)
        answer(i);
    // Their answers taught the wait (four times 300 ms, at most a second); the
    // rest answer over the next 1.6 s, longer than that wait.
    for (int i = 10; i < 18; ++i) {
        pass(200);
        answer(i);
    }
    pass(1200);
    QSet<quint16> again;
    for (qsizetype k = written; k < t.out.sent.size(); ++k)
        again << t.out.sent[k].port;
    EXPECT_EQ(again, (QSet<quint16>{quint16(kServerPort + 19), quint16(kServerPort + 20)}));
}

TEST(TransportFanOut, DestinationsThatStartTogetherShareTheFirstWindowInTurn)
{
    // Four of our units, proven but without feedback on their pace yet: the
    // shared first window goes to them a datagram each in turn. Written one
    // destination after another, the first destination's window showed it
    // the whole uplink, and it kept about twice an even share.
    TransportParts t;
    QList<SendTarget> clients;
    for (int i = 0; i < 4; ++i) {
        const quint16 port = quint16(kServerPort + 1 + i);
        clients << SendTarget("127.0.0.3", port);
        t.paths.sendingPath("127.0.0.3", port)->sending.provenUs = platform::monotonicUs();
    }
    t.send(QByteArray(40 * 500 - 80, 's'), clients);
    for (int run = 0; run < 10 && t.out.sent.size() < 16; ++run) {
        t.clock.advance(1);
        t.writer.run();
    }
    ASSERT_GE(t.out.sent.size(), 16);
    QMap<quint16, int> first4, first16;
    for (qsizetype k = 0; k < 16; ++k) {
        ++first16[t.out.sent[k].port];
        if (k < 4)
            ++first4[t.out.sent[k].port];
    }
    EXPECT_EQ(first4.size(), 4);
    for (int n : first16)
        EXPECT_EQ(n, 4);
}
