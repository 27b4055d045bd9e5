// The target's and initiator's answers to single hole messages: who gets a
// HOLEACC, which live-user record gets marked, and what is logged. Clients
// reach each other where the server saw them: on the server's address, with
// their own ports.
#include "traversal_scene.h"

namespace {

QString endpoint(const char *ip, unsigned short port)
{
    return QString::fromLatin1(ip) + QLatin1Char(':') + QString::number(port);
}

QString lines(const QStringList &l) { return l.join(QLatin1Char('\n')); }

QStringList linesStartingWith(const Peer &p, const QString &prefix)
{
    QStringList out;
    for (const QString &l : p.logs)
        if (l.startsWith(prefix))
            out << l;
    return out;
}

} // namespace

TEST_F(TraversalScene, HoleRegFromListedPeerMarksItAndIsAccepted)
{
    const PEERINFO alice = *liveUser(*b, "alice");
    SentCounter sentByB;
    sentByB.attach(&b->unit());
    b->logs.clear();
    UnitInspector::sendProtocol(a->unit(), "HOLEREG$alice$0$0$0$127.0.0.2$" + QByteArray::number(a->port), kServerIp,
                                b->port);
    ASSERT_TRUE(pumpUntil([&] { return b->hasLog("Receive Hole confirm request from:"); }));
    ASSERT_TRUE(settle());

    EXPECT_EQ(sentByB.count("HOLEACC", a->port), 1);
    EXPECT_EQ(liveUser(*b, "alice")->access, 1);
    const QString from = endpoint(alice.ip, alice.port);
    EXPECT_EQ(lines(b->logs), lines({"This client now access allowed:" + from,
                                     "Receive Hole confirm request from:" + from}));
    // The HOLEACC marks B at A, with its own line.
    EXPECT_EQ(liveUser(*a, "bob")->access, 1);
    EXPECT_EQ(lines(linesStartingWith(*a, "Hole confirm from:")),
              "Hole confirm from:" + endpoint(liveUser(*a, "bob")->ip, b->port));
}

TEST_F(TraversalScene, HoleMessagesFromUnlistedEndpoint)
{
    Peer m("mallory", "127.0.0.5", base + 5);
    SentCounter sentByB;
    sentByB.attach(&b->unit());
    b->logs.clear();
    a->logs.clear();

    // A HOLEREG from a stranger is accepted all the same, but marks nobody.
    UnitInspector::sendProtocol(m.unit(), "HOLEREG$mallory$0$0$0$127.0.0.5$" + QByteArray::number(m.port), kServerIp,
                                b->port);
    ASSERT_TRUE(pumpUntil([&] { return !b->logs.isEmpty(); }));
    ASSERT_TRUE(settle());
    EXPECT_EQ(sentByB.count("HOLEACC", m.port), 1);
    EXPECT_EQ(lines(b->logs), "Receive Hole confirm request from:" + endpoint(kServerIp, m.port));
    EXPECT_EQ(liveUser(*b, "alice")->access, 0);

    // A HOLEACC from a stranger changes nothing and logs nothing.
    UnitInspector::sendProtocol(m.unit(), "HOLEACC$mallory$0$0$0$127.0.0.5$" + QByteArray::number(m.port), kServerIp,
                                a->port);
    ASSERT_TRUE(settle());
    EXPECT_TRUE(a->logs.isEmpty()) << a->logs.join("\n").toStdString();
    EXPECT_EQ(liveUser(*a, "bob")->access, 0);
    m.unit().setOutgoingTap(nullptr);
}

TEST_F(TraversalScene, HoleAccWithoutAttemptStillMarks)
{
    UnitInspector::sendProtocol(b->unit(), "HOLEACC$bob$0$0$0$127.0.0.2$" + QByteArray::number(b->port), kServerIp,
                                a->port);
    ASSERT_TRUE(pumpUntil([&] { return a->hasLog("Hole confirm from:"); }));
    EXPECT_EQ(liveUser(*a, "bob")->access, 1);
    // A later user list from the same server keeps the mark.
    UnitInspector::wholeListsOnly(s->unit()); // sent again whole, unchanged
    s->unit().parts().push.clientsChanged();
    ASSERT_TRUE(pumpUntil([&] { return a->countLogs("Get Server User List") >= 2; }));
    EXPECT_EQ(liveUser(*a, "bob")->access, 1);
}
