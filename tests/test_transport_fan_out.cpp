// Pacing toward each destination: a message to many destinations goes to
// all of them in the same rounds, never more than fifteen of its packets to
// one destination in a round; single datagrams to many destinations go
// without a round each, and to one destination fifteen to a round. A request
// for a packet that the write in progress has not reached yet is left to it.
#include <gtest/gtest.h>

#include <QMap>
#include <QPair>
#include <QUdpSocket>
#include <memory>
#include <vector>

#include "registry_support.h"
#include "transport_packets.h"

namespace {

constexpr unsigned short kServerPort = 46800;
constexpr int kClients = 12;

// Per (wait round, destination port) the datagrams the unit wrote.
using RoundCounts = QMap<QPair<quint64, unsigned short>, int>;

void countPerRound(MUDPUnit &u, RoundCounts &counts, const char *word)
{
    transport::setOutgoingTap(&u, [&counts, word](QByteArray &d, QHostAddress &, quint16 &port) {
        if (!word || d.mid(48).startsWith(word) || d.at(28) != 1)
            ++counts[{MUDPUnit::waitRounds(), port}];
        return true;
    });
}

quint64 roundsSpanned(const RoundCounts &counts)
{
    return counts.isEmpty() ? 0 : counts.lastKey().first - counts.firstKey().first;
}

int largestShare(const RoundCounts &counts)
{
    int most = 0;
    for (int n : counts)
        most = qMax(most, n);
    return most;
}

} // namespace

TEST(TransportFanOut, OneMessageToManyClientsTakesTheRoundsOfOne)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", kServerPort);
    const auto clients = numberedClients(kClients, kServerPort + 1);
    for (auto &c : clients)
        (*c)->regToServer("127.0.0.2", kServerPort);
    ASSERT_EQ(UnitInspector::clientList(server.unit()).size(), kClients);
    pump(50);

    // 100 packets: packet 1 alone, then runs of fifteen.
    const QByteArray block(100 * 500 - 80, 'f');
    RoundCounts one, all;
    countPerRound(server.unit(), one, "DATA$");
    server->sendBufferToClient(block.constData(), int(block.size()), "127.0.0.3", kServerPort + 1, nullptr);
    countPerRound(server.unit(), all, "DATA$");
    server->sendBufferToClient(block.constData(), int(block.size()), "0.0.0.0", 0, nullptr);
    transport::clearOutgoingTap(&server.unit());

    EXPECT_LE(largestShare(one), 15);
    EXPECT_LE(largestShare(all), 15);
    int packets = 0;
    for (int n : all)
        packets += n;
    EXPECT_EQ(packets, 100 * kClients);
    EXPECT_LE(roundsSpanned(all), roundsSpanned(one) + 1);
    EXPECT_TRUE(pumpUntil([&] {
        for (auto &c : clients)
            if (c->received.size() != 2 - (c->port != kServerPort + 1))
                return false;
        return true;
    }));
}

TEST(TransportFanOut, SingleDatagramsWaitOnlyForTheirOwnDestination)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", kServerPort + 50);

    // Forty heartbeats from forty peers: the answers take no round each.
    RoundCounts answers;
    countPerRound(server.unit(), answers, "RE_ALIVE$");
    const quint64 before = MUDPUnit::waitRounds();
    for (int i = 0; i < 40; ++i)
        inject(server.unit(), "ALIVE$p" + QByteArray::number(i), "127.0.0.3", kServerPort + 51 + i);
    EXPECT_LE(MUDPUnit::waitRounds() - before, 1u);
    EXPECT_EQ(answers.size(), 40);

    // Forty datagrams to one destination: fifteen to a round.
    RoundCounts toOne;
    countPerRound(server.unit(), toOne, nullptr);
    for (int i = 0; i < 40; ++i)
        UnitInspector::sendProtocol(server.unit(), "HOLETEST", "127.0.0.3", kServerPort + 51);
    transport::clearOutgoingTap(&server.unit());
    EXPECT_LE(largestShare(toOne), 15);
    EXPECT_GE(roundsSpanned(toOne), 2u);
}

TEST(TransportFanOut, RequestsAheadOfTheWriteAreLeftToIt)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", kServerPort + 100);
    QUdpSocket receiver;
    ASSERT_TRUE(receiver.bind(QHostAddress("127.0.0.3"), kServerPort + 101));

    // As packet 2 goes out (packet 1 has gone to every destination), the
    // receiver asks for packet 1 and for packet 50.
    QMap<int, int> written;
    transport::setOutgoingTap(&server.unit(), [&](QByteArray &d, QHostAddress &, quint16 &) {
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
    transport::clearOutgoingTap(&server.unit());

    EXPECT_EQ(written.value(1), 2);  // already written: answered
    EXPECT_EQ(written.value(50), 1); // ahead of the write: sent once, by it
    EXPECT_EQ(written.size(), 100);
    EXPECT_TRUE(server.hasLog("Request for a packet not sent yet ignored:"));
}
