// The traversal under awkward conditions: a user list that removes the peer
// while an attempt runs, and hole and relay messages that lack their target
// or their header, sent by a fourth client of the server (or, for hole
// requests, by the server).
#include <QTimer>

#include "traversal_scene.h"

TEST_F(TraversalScene, UserListRemovingPeerEndsAttempt)
{
    const PEERINFO record = *liveUser(*a, "bob");
    SentCounter sentByA, sentByB;
    // During the attempt (once its first HOLEREG is out) S drops B and sends
    // A a list without it.
    bool removed = false;
    sentByA.drop = [&](const QByteArray &w) {
        if (w == "HOLEREG" && !removed) {
            removed = true;
            QTimer::singleShot(0, &s->unit(), [&] {
                PEERINFO *bob = s->unit().parts().peers.findClient(nullptr, 0, "bob");
                ASSERT_NE(bob, nullptr);
                bob->life = wire::kRemoveMark;
                s->unit().parts().heartbeat.tick();
            });
        }
        return false;
    };
    sentByA.attach(&a->unit());
    sentByB.drop = [](const QByteArray &w) { return w == "HOLEACC" || w == "NOLVHOLE"; };
    sentByB.attach(&b->unit());
    sendToLiveUser(*a, "bob", "after removal");

    EXPECT_EQ(liveUser(*a, "bob"), nullptr);
    EXPECT_GE(sentByA["TRANSHOLE"], 1);
    EXPECT_LE(sentByA["TRANSHOLE"], 4); // ended with the record, not after 21 cycles
    EXPECT_EQ(sentByA["TRANSHOLE"], sentByA["HOLEREG"]);
    EXPECT_TRUE(a->hasLog("Get Server User List"));
    const int failed = static_cast<int>(a->logs.indexOf("Hole Failed To" + label(record)));
    EXPECT_GE(failed, 0) << a->logs.join("\n").toStdString();
    EXPECT_GT(static_cast<int>(a->logs.indexOf("Send data via server to " + label(record))), failed);
    EXPECT_FALSE(a->hasLog("Hole Sucess To "));
}

class MalformedTraversal : public TraversalScene {
protected:
    void SetUp() override
    {
        TraversalScene::SetUp();
        m = std::make_unique<Peer>("mallory", "127.0.0.5", base + 5);
        registerWith(*m, *s);
        // The server's lists name mallory before the datagrams below are counted.
        ASSERT_TRUE(pumpUntil([&] { return liveUser(*a, "mallory") && liveUser(*b, "mallory"); }));
        ASSERT_TRUE(settle());
    }
    void TearDown() override
    {
        m->unit().setOutgoingTap(nullptr);
        TraversalScene::TearDown();
    }
    void sendTo(Peer &to, const QByteArray &bytes, int size = 0) { sendRaw(*m, to, bytes, size); }
    QByteArray holeReqToM() const { return "HOLEREQ$mallory$0$0$0$127.0.0.5$" + QByteArray::number(m->port); }

    std::unique_ptr<Peer> m;
};

TEST_F(MalformedTraversal, TransHoleWithoutTargetIsDropped)
{
    SentCounter sentByS;
    sentByS.attach(&s->unit());
    const QByteArray bobAt = "$127.0.0.2$" + QByteArray::number(b->port);

    // A complete one first, so that a later message could reuse its target.
    sendTo(*s, area("TRANSHOLE$mallory$0$0$0" + bobAt) + area(holeReqToM()), 160);
    EXPECT_EQ(sentByS.count("HOLEREQ", b->port), 1);
    EXPECT_EQ(b->countLogs("Hole to:"), 1);

    sendTo(*s, area("TRANSHOLE$mallory$0$0$0") + area(holeReqToM()), 160);
    sendTo(*s, area("TRANSHOLE$mallory$0$0$0$127.0.0.2") + area(holeReqToM()), 160);
    // An empty name vanishes: the port moves to position 5, nothing is in 6.
    sendTo(*s, area("TRANSHOLE$$0$0$0" + bobAt) + area(holeReqToM()), 160);
    // Complete header, nothing embedded: nothing to forward.
    sendTo(*s, area("TRANSHOLE$mallory$0$0$0" + bobAt), 80);
    // A port that is no port is not wrapped into one (70000 would be 4464).
    sendTo(*s, area("TRANSHOLE$mallory$0$0$0$127.0.0.2$" + QByteArray::number(b->port + 65536)) +
                   area(holeReqToM()), 160);
    sendTo(*s, area("TRANSHOLE$mallory$0$0$0$127.0.0.2$0") + area(holeReqToM()), 160);

    EXPECT_EQ(sentByS.total(), 1);
    EXPECT_EQ(b->countLogs("Hole to:"), 1);
    EXPECT_EQ(s->countLogs("Packet Transfer Hole Request Received:"), 7);
}

TEST_F(MalformedTraversal, HoleReqWithoutTargetIsDropped)
{
    SentCounter sentByB;
    sentByB.attach(&b->unit());

    // Hole requests reach B through its server.
    sendRaw(*s, *b, holeReqToM());
    EXPECT_EQ(sentByB.count("NOLVHOLE", m->port), 1);
    EXPECT_TRUE(m->hasLog("Get hole test from:"));

    sendRaw(*s, *b, "HOLEREQ$mallory$0$0$0");
    sendRaw(*s, *b, "HOLEREQ$mallory$0$0$0$127.0.0.5");
    sendRaw(*s, *b, "HOLEREQ$$0$0$0$127.0.0.5$" + QByteArray::number(m->port));
    sendRaw(*s, *b, "HOLEREQ$mallory$0$0$0$127.0.0.5$" + QByteArray::number(m->port + 65536));
    EXPECT_EQ(sentByB.total(), 1);
    EXPECT_EQ(b->countLogs("Hole to:"), 1);
}

TEST_F(MalformedTraversal, TransWithoutTargetOrHeaderIsRefused)
{
    SentCounter sentByS;
    sentByS.attach(&s->unit());
    const QByteArray bobAt = "$127.0.0.2$" + QByteArray::number(b->port);

    // Buffered TRANS messages with a full header but no complete target.
    for (const QByteArray &header : {QByteArray("TRANS$mallory$0$0$0"), QByteArray("TRANS$mallory$0$0$0$127.0.0.2"),
                                    "TRANS$$0$0$0" + bobAt, QByteArray("TRANS$mallory$0$0$0$127.0.0.2$0"),
                                    "TRANS$mallory$0$0$0$127.0.0.2$" + QByteArray::number(b->port + 65536)}) {
        (*m)->sendBufferToServer("block", 5, s->addr, s->port, header.constData());
        ASSERT_TRUE(settle());
    }
    // A single datagram shorter than the 80-byte header.
    sendTo(*s, "TRANS$mallory$0$0$0" + bobAt);

    EXPECT_EQ(s->countLogs("Packet Transfer Data Refused:"), 6) << s->logs.join("\n").toStdString();
    EXPECT_EQ(sentByS.total(), 0); // neither forwarded nor acknowledged
    EXPECT_FALSE(s->hasLog("Packet Transfer Data Received:"));
    EXPECT_TRUE(b->received.isEmpty());

    // The boundary: a full header with an empty block is relayed as empty data.
    (*m)->sendBufferToServer("", 0, s->addr, s->port, ("TRANS$mallory$0$0$0" + bobAt).constData());
    ASSERT_TRUE(pumpUntil([&] { return !b->received.isEmpty(); }));
    EXPECT_EQ(b->received, QList<QByteArray>{QByteArray()});
    EXPECT_EQ(sentByS.count("DATA", b->port), 1);
    EXPECT_EQ(sentByS.count("RECEIVED", m->port), 1);
    EXPECT_EQ(s->countLogs("Packet Transfer Data Received:"), 1) << s->logs.join("\n").toStdString();
}
