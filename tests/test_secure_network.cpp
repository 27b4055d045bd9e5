// Units with a network key over real sockets: members register, list, punch,
// relay and deliver through loss, every datagram sealed; a unit without the
// key, with another key, or writing plain datagrams gets nothing and leaves
// no state beyond the channel's bounded tables; the key can be refused,
// cleared and changed.
#include <QUdpSocket>

#include "loss_link.h"
#include "traversal_scene.h"

namespace {

const unsigned char kKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                                17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};
const unsigned char kOtherKey[32] = {32, 31, 30};

const secure::SecureChannel &channel(Peer &p) { return p.unit().parts().socket.secure().state(); }

QByteArray block(int packets)
{
    QByteArray b(packets * 500 - 80, '\0');
    for (qsizetype i = 0; i < b.size(); ++i)
        b[i] = char(i * 7 + i / 500);
    return b;
}

// The server and the two clients of the traversal scene, keyed before they
// register.
class KeyedNetwork : public TraversalScene {
protected:
    void prepare(Peer &p) override { ASSERT_TRUE(p.unit().setNetworkKey(kKey, 32)); }

    // Sends bytes from one unit to another's address and port, ticking both
    // once a second of the wait, until they arrived and were acknowledged.
    static bool deliver(Peer &from, Peer &to, const QByteArray &bytes)
    {
        const qsizetype arrived = to.received.size();
        const int acked = from.countLogs("Packet send success:");
        from->sendBufferToServer(bytes.constData(), int(bytes.size()), to.addr, to.port, nullptr);
        int rounds = 0;
        pumpUntil([&] {
            if (++rounds % 200 == 0) {
                from.tick();
                to.tick();
            }
            return to.received.size() > arrived && from.countLogs("Packet send success:") > acked;
        });
        return to.received.mid(arrived).contains(bytes);
    }

    // Sends bytes that `to` must drop for `reason`: waits for the drop, lets
    // what follows settle, and tells whether nothing arrived.
    static bool refused(Peer &from, Peer &to, const QByteArray &bytes, secure::Drop reason)
    {
        const qsizetype arrived = to.received.size();
        const uint64_t drops = channel(to).dropped(reason);
        from->sendBufferToServer(bytes.constData(), int(bytes.size()), to.addr, to.port, nullptr);
        EXPECT_TRUE(pumpUntil([&] { return channel(to).dropped(reason) > drops; }));
        EXPECT_TRUE(settle());
        return to.received.size() == arrived;
    }

    // A unit at 127.0.0.5 that tries to join S: unkeyed, or with `key`.
    std::unique_ptr<Peer> outsider(const unsigned char *key)
    {
        auto o = std::make_unique<Peer>("mallory", "127.0.0.5", base + 5);
        if (key) {
            EXPECT_TRUE(o->unit().setNetworkKey(key, 32));
        }
        o->unit().regToServer(s->addr, s->port);
        EXPECT_TRUE(settle());
        return o;
    }

    // What an outsider tries beyond registering: data to a member, and the
    // words of hole punching and relay to the server; none of it may arrive
    // or change the server's tables.
    void expectNothingFor(Peer &o, secure::Drop reason)
    {
        const int paths = s->unit().parts().paths.size();
        EXPECT_FALSE(o.hasLog("Reg Sucess"));
        EXPECT_TRUE(o.unit().parts().peers.servers().all().isEmpty());
        EXPECT_TRUE(o.unit().parts().peers.liveUsers().all().isEmpty());
        EXPECT_EQ(s->unit().parts().peers.clients().all().size(), 2);
        EXPECT_TRUE(refused(o, *a, "let me in", reason));
        for (const char *word : {"REG$mallory", "TRANSHOLE$alice", "HOLEREQ$mallory$0$0$0$127.0.0.5", "TRANS$alice"})
            sendRaw(o, *s, word);
        EXPECT_TRUE(a->received.isEmpty());
        EXPECT_TRUE(s->unit().parts().incoming.all().isEmpty());
        EXPECT_EQ(s->unit().parts().paths.size(), paths);
        EXPECT_EQ(s->unit().parts().peers.clients().all().size(), 2);
        EXPECT_FALSE(s->hasLog("Packet Transfer"));
        EXPECT_LE(channel(*s).stateBytes(), channel(*s).stateBound());
    }
};

} // namespace

TEST_F(KeyedNetwork, MembersDeliverPunchAndRelaySealed)
{
    {
        // A multi-packet message through loss both ways.
        LossyLink ab(a->unit(), 0.1, 7), ba(b->unit(), 0.1, 8);
        EXPECT_TRUE(deliver(*a, *b, block(40)));
        EXPECT_GT(ab.dropped + ba.dropped, 0);
    }
    sendToLiveUser(*a, "bob", "punched");
    ASSERT_TRUE(pumpUntil([&] { return b->received.size() == 2; }));
    EXPECT_EQ(b->received.last(), "punched");
    EXPECT_EQ(a->countLogs("Hole Sucess To "), 1);

    // The broadcast goes through the server: each hop under its own session.
    (*a)->sendDataToLiveUser("relayed", 7, "0.0.0.0", 0, "", "", 0);
    ASSERT_TRUE(pumpUntil([&] { return b->received.size() == 3; }));
    EXPECT_EQ(b->received.last(), "relayed");
    EXPECT_EQ(s->countLogs("Packet Transfer Data Received:"), 1);

    for (Peer *p : {s.get(), a.get(), b.get()}) {
        EXPECT_GT(channel(*p).stats().sealed, 0u);
        EXPECT_EQ(channel(*p).dropped(secure::Drop::Unkeyed), 0u);
        EXPECT_EQ(channel(*p).dropped(secure::Drop::NotAuthentic), 0u);
    }
}

TEST_F(KeyedNetwork, OutsidersGetNothing)
{
    auto plain = outsider(nullptr);
    EXPECT_TRUE(s->hasLog("Secure channel drop, 127.0.0.2:" + QString::number(base + 5) +
                          ": datagram without the network key"))
        << s->logs.join("\n").toStdString();
    expectNothingFor(*plain, secure::Drop::Unkeyed);
    plain.reset();

    auto wrong = outsider(kOtherKey);
    EXPECT_GT(channel(*s).dropped(secure::Drop::BadMac), 0u);
    expectNothingFor(*wrong, secure::Drop::BadMac);
    EXPECT_EQ(channel(*wrong).stats().handshakesCompleted, 0u);
    wrong.reset();

    // Garbage of every size from a raw socket: dropped, no session made.
    const uint64_t answered = channel(*s).stats().handshakesAnswered;
    QUdpSocket raw;
    ASSERT_TRUE(raw.bind(QHostAddress(QStringLiteral("127.0.0.5")), 0));
    for (int size : {1, 16, 32, 548, 564, 660, 1200, 1400}) {
        QByteArray junk(size, char(0x11 + size % 4));
        raw.writeDatagram(junk, QHostAddress(QString::fromLatin1(kServerIp)), s->port);
    }
    ASSERT_TRUE(settle());
    EXPECT_EQ(channel(*s).stats().handshakesAnswered, answered);
    EXPECT_LE(channel(*s).stateBytes(), channel(*s).stateBound());
}

TEST_F(KeyedNetwork, KeyChangesEndSessionsAndClearingOpensTheNetwork)
{
    EXPECT_FALSE(a->unit().setNetworkKey(kKey, 31));
    EXPECT_FALSE(a->unit().setNetworkKey(kKey, 0));
    EXPECT_FALSE(a->unit().setNetworkKey(nullptr, 32));
    EXPECT_FALSE(a->unit().setNetworkKey(kKey, -1));
    ASSERT_TRUE(deliver(*a, *b, "under the first key"));

    // A changes alone: B no longer hears it. Both change: a new handshake.
    const uint64_t started = channel(*a).stats().handshakesStarted;
    ASSERT_TRUE(a->unit().setNetworkKey(kOtherKey, 32));
    EXPECT_TRUE(refused(*a, *b, "half changed", secure::Drop::BadMac));
    EXPECT_GT(channel(*a).stats().handshakesStarted, started);
    ASSERT_TRUE(b->unit().setNetworkKey(kOtherKey, 32));
    const uint64_t completed = channel(*a).stats().handshakesCompleted;
    EXPECT_TRUE(deliver(*a, *b, "under the second key"));
    EXPECT_GT(channel(*a).stats().handshakesCompleted, completed);

    // No key anywhere: the open network, outsiders included.
    for (Peer *p : {s.get(), a.get(), b.get()})
        ASSERT_TRUE(p->unit().setNetworkKey(nullptr, 0));
    EXPECT_FALSE(channel(*a).keyed());
    EXPECT_TRUE(deliver(*a, *b, "in clear"));
    auto plain = outsider(nullptr);
    EXPECT_TRUE(plain->hasLog("Reg Sucess"));
}

TEST(NetworkKeyExport, RefusesWithoutInstanceAndBadLengths)
{
    EXPECT_EQ(setNetworkKey(kKey, 32), 0);
    ASSERT_NE(initInstance(), nullptr);
    EXPECT_EQ(setNetworkKey(kKey, 32), 1);
    EXPECT_EQ(setNetworkKey(kKey, 16), 0);
    EXPECT_EQ(setNetworkKey(nullptr, 0), 1);
    clearInstance();
    EXPECT_EQ(setNetworkKey(nullptr, 0), 0);
}
