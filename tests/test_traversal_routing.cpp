// Routing to live users: direct to a marked user, hole punching that works in
// one cycle, an attempt that gets no answer and falls back to the relay, and
// the broadcast through every server.
#include "traversal_scene.h"

namespace {

bool anyLogStartsWith(const Peer &p, const char *prefix) { return p.hasLog(QString::fromLatin1(prefix)); }

int indexOfLog(const Peer &p, const QString &line)
{
    return static_cast<int>(p.logs.indexOf(line));
}

} // namespace

TEST_F(TraversalScene, MarkedUserGetsDataDirectly)
{
    liveUser(*a, "bob")->access = 1;
    SentCounter sent;
    sent.attach(&a->unit());
    sendToLiveUser(*a, "bob", "straight");
    ASSERT_TRUE(pumpUntil([&] { return !b->received.isEmpty(); }));
    ASSERT_TRUE(settle());
    EXPECT_EQ(b->received, QList<QByteArray>{"straight"});
    EXPECT_EQ(sent["TRANSHOLE"], 0);
    EXPECT_EQ(sent["HOLEREG"], 0);
    EXPECT_EQ(sent["TRANS"], 0);
    EXPECT_EQ(sent["DATA"], 1);
    EXPECT_EQ(sent.count("DATA", b->port), 1);
    EXPECT_FALSE(anyLogStartsWith(*a, "Hole"));
    EXPECT_FALSE(anyLogStartsWith(*a, "Send data via server to "));
    EXPECT_FALSE(s->hasLog("Packet Transfer"));
}

TEST_F(TraversalScene, AnsweringUserIsPunchedInOneCycle)
{
    const PEERINFO record = *liveUser(*a, "bob");
    SentCounter sent;
    sent.attach(&a->unit());
    sendToLiveUser(*a, "bob", "punched");
    ASSERT_TRUE(pumpUntil([&] { return !b->received.isEmpty(); }));
    ASSERT_TRUE(settle());

    EXPECT_EQ(sent["TRANSHOLE"], 1);
    EXPECT_EQ(sent["HOLEREG"], 1);
    EXPECT_EQ(sent["TRANS"], 0);
    EXPECT_GE(indexOfLog(*a, "Hole Sucess To " + label(record)), 0) << a->logs.join("\n").toStdString();
    EXPECT_FALSE(anyLogStartsWith(*a, "Hole Failed To"));
    EXPECT_FALSE(anyLogStartsWith(*a, "Send data via server to "));
    EXPECT_EQ(b->received, QList<QByteArray>{"punched"});

    // The exchange as each side saw it: S forwarded, B tested and marked A,
    // A got the test and the acceptance.
    EXPECT_EQ(s->countLogs("Packet Transfer Hole Request Received:"), 1);
    EXPECT_EQ(b->countLogs("Hole to:"), 1);
    EXPECT_EQ(b->countLogs("This client now access allowed:"), 1);
    EXPECT_EQ(a->countLogs("Get hole test from:"), 1);
    EXPECT_EQ(a->countLogs("Hole confirm from:"), 1);
    EXPECT_EQ(liveUser(*a, "bob")->access, 1);
    EXPECT_EQ(liveUser(*b, "alice")->access, 1);

    // The mark holds: the next send goes straight, without an attempt.
    sendToLiveUser(*a, "bob", "again");
    ASSERT_TRUE(pumpUntil([&] { return b->received.size() == 2; }));
    EXPECT_EQ(sent["TRANSHOLE"], 1);
    EXPECT_EQ(a->countLogs("Hole Sucess To "), 1);
}

// About 4.2 s of real time: the attempt's own pace.
TEST_F(TraversalScene, SilentUserGetsTwentyOneCyclesThenRelay)
{
    const PEERINFO record = *liveUser(*a, "bob");
    SentCounter sentByA, sentByB;
    sentByA.attach(&a->unit());
    // B neither tests nor accepts: its answers to the hole punch never leave.
    sentByB.drop = [](const QByteArray &w) { return w == "HOLEACC" || w == "NOLVHOLE"; };
    sentByB.attach(&b->unit());

    sendToLiveUser(*a, "bob", "relayed");
    EXPECT_EQ(sentByA["TRANSHOLE"], 21);
    EXPECT_EQ(sentByA["HOLEREG"], 21);
    EXPECT_EQ(sentByA.count("TRANSHOLE", s->port), 21);
    EXPECT_EQ(sentByA.count("HOLEREG", b->port), 21);
    EXPECT_EQ(sentByA.count("TRANS", s->port), 1);
    EXPECT_EQ(sentByA["TRANS"], 1);
    EXPECT_EQ(sentByA["DATA"], 0);
    const int failed = indexOfLog(*a, "Hole Failed To" + label(record));
    const int via = indexOfLog(*a, "Send data via server to " + label(record));
    EXPECT_GE(failed, 0) << a->logs.join("\n").toStdString();
    EXPECT_GT(via, failed);
    EXPECT_FALSE(anyLogStartsWith(*a, "Hole Sucess To "));
    EXPECT_EQ(liveUser(*a, "bob")->access, 0);
    EXPECT_EQ(s->countLogs("Packet Transfer Hole Request Received:"), 21);

    ASSERT_TRUE(pumpUntil([&] { return !b->received.isEmpty(); }));
    ASSERT_TRUE(pumpUntil([&] { return a->hasLog("Packet send success:"); }));
    ASSERT_TRUE(settle());
    EXPECT_EQ(b->received, QList<QByteArray>{"relayed"});
    EXPECT_EQ(s->countLogs("Packet Transfer Data Received:"), 1);
    EXPECT_TRUE(s->received.isEmpty()); // the relay does not hand the block to its own host
}

TEST_F(TraversalScene, BroadcastReachesEveryClientOfEveryServer)
{
    Peer s2("server2", "127.0.0.5", base + 3);
    Peer c("carol", "127.0.0.6", base + 4);
    registerWith(*a, s2);
    registerWith(c, s2);
    ASSERT_TRUE(pumpUntil([&] { return liveUser(*a, "carol") != nullptr; }));
    SentCounter sent;
    sent.attach(&a->unit());
    a->logs.clear();

    const QByteArray data = "to everyone";
    (*a)->sendDataToLiveUser(data.constData(), static_cast<int>(data.size()), "0.0.0.0", 0, "", "", 0);
    ASSERT_TRUE(pumpUntil([&] { return a->received.size() == 2 && !b->received.isEmpty() && !c.received.isEmpty(); }));
    ASSERT_TRUE(settle());

    // One TRANS to each server; each server forwards to all its clients, the
    // sender among them.
    EXPECT_EQ(sent["TRANS"], 2);
    EXPECT_EQ(sent.count("TRANS", s->port), 1);
    EXPECT_EQ(sent.count("TRANS", s2.port), 1);
    EXPECT_EQ(sent["TRANSHOLE"], 0);
    EXPECT_EQ(a->received, (QList<QByteArray>{data, data}));
    EXPECT_EQ(b->received, QList<QByteArray>{data});
    EXPECT_EQ(c.received, QList<QByteArray>{data});
    EXPECT_TRUE(s->received.isEmpty());
    EXPECT_TRUE(s2.received.isEmpty());
    EXPECT_FALSE(anyLogStartsWith(*a, "Hole"));
    EXPECT_FALSE(anyLogStartsWith(*a, "Send data via server to "));
    s2.unit().setOutgoingTap(nullptr);
}

TEST_F(TraversalScene, UnknownLiveUserSendsNothing)
{
    SentCounter sent;
    sent.attach(&a->unit());
    const PEERINFO record = *liveUser(*a, "bob");
    (*a)->sendDataToLiveUser("x", 1, record.ip, record.port, "nobody", record.serverIp, record.serverPort);
    (*a)->sendDataToLiveUser("x", 1, record.ip, static_cast<unsigned short>(record.port + 7), record.name,
                          record.serverIp, record.serverPort);
    ASSERT_TRUE(settle());
    EXPECT_EQ(sent.total(), 0);
    EXPECT_TRUE(b->received.isEmpty());
}
