// A stranger that never registered tries each way of changing what a unit
// believes or of making it send on the stranger's behalf; the same input from
// the party it belongs to is accepted. (Forged first packets of huge messages
// are in test_transport_budget.)
#include "traversal_scene.h"

namespace {

PEERINFO fakeUser(unsigned short serverPort)
{
    PEERINFO p;
    std::memset(&p, 0, sizeof p);
    std::strcpy(p.name, "fake");
    std::strcpy(p.ip, "127.0.0.9");
    p.port = 4000;
    std::strcpy(p.serverIp, "127.0.0.2");
    p.serverPort = serverPort;
    return p;
}

} // namespace

class HostilePeer : public TraversalScene {
protected:
    void SetUp() override
    {
        TraversalScene::SetUp();
        m = std::make_unique<Peer>("mallory", "127.0.0.5", base + 5);
    }
    void TearDown() override
    {
        m->unit().setOutgoingTap(nullptr);
        TraversalScene::TearDown();
    }
    static void sendList(Peer &from, Peer &to, const QByteArray &records)
    {
        const QByteArray header = "PEERLIST$" + QByteArray(from.unit().parts().self.name) + "$0$0$0";
        NOLVUDPBUFFER *list = UnitInspector::buildBuffer(from.unit(), records, header.constData());
        ASSERT_TRUE(list);
        UnitInspector::sendBufferToAddr(from.unit(), list, kServerIp, to.port);
        ASSERT_TRUE(settle());
    }
    static QByteArray portText(const Peer &p) { return QByteArray::number(p.port); }

    std::unique_ptr<Peer> m;
};

TEST_F(HostilePeer, UserListsOnlyFromOwnServers)
{
    SentCounter sentByA;
    sentByA.attach(&a->unit());
    const PEERINFO fake = fakeUser(s->port);
    const QByteArray records(reinterpret_cast<const char *>(&fake), sizeof fake);
    const int lists = a->countLogs("Get Server User List");

    sendList(*m, *a, records);
    EXPECT_EQ(liveUser(*a, "fake"), nullptr);
    EXPECT_NE(liveUser(*a, "bob"), nullptr);
    EXPECT_EQ(a->countLogs("User list not from a server dropped:"), 1);
    EXPECT_EQ(a->countLogs("Get Server User List"), lists);
    EXPECT_EQ(sentByA.total(), 0); // not acknowledged

    sendList(*s, *a, records);
    ASSERT_TRUE(pumpUntil([&] { return liveUser(*a, "fake") != nullptr; }));
    EXPECT_EQ(sentByA.count("RECEIVED", s->port), 1);
}

TEST_F(HostilePeer, RegistrationAcceptedOnlyWhenAsked)
{
    int serverChanges = 0;
    UnitInspector::onServerChanged(a->unit(), [&](const QString &, unsigned short, bool) { ++serverChanges; });
    const QByteArray accept = "REGACC$mallory$0$0$0$127.0.0.9$999";

    sendRaw(*m, *a, accept);
    EXPECT_EQ(a->unit().parts().peers.servers().all().size(), 1);
    EXPECT_STREQ(a->unit().getAddrForPeer(), "127.0.0.2");
    EXPECT_EQ(a->unit().getPortForPeer(), a->port);
    EXPECT_EQ(serverChanges, 0);
    EXPECT_EQ(a->countLogs("Registration accept not asked for dropped:"), 1);

    // A REG that went there 21 s ago is no longer answered; one of 19 s ago
    // (a registration call that timed out) still is.
    a->unit().parts().registration.pending().sent(kServerIp, m->port);
    a->unit().parts().registration.pending().age(21000);
    sendRaw(*m, *a, accept);
    EXPECT_EQ(a->unit().parts().peers.servers().all().size(), 1);
    EXPECT_EQ(a->countLogs("Registration accept not asked for dropped:"), 2);

    a->unit().parts().registration.pending().sent(kServerIp, m->port);
    a->unit().parts().registration.pending().age(19000);
    sendRaw(*m, *a, accept);
    ASSERT_EQ(a->unit().parts().peers.servers().all().size(), 2);
    EXPECT_EQ(a->unit().parts().peers.servers().all()[1]->port, m->port);
    EXPECT_STREQ(a->unit().getAddrForPeer(), "127.0.0.9");
    EXPECT_EQ(a->unit().getPortForPeer(), 999);
    EXPECT_EQ(serverChanges, 1);
}

TEST_F(HostilePeer, RelayOnlyBetweenOwnClients)
{
    SentCounter sentByS;
    sentByS.attach(&s->unit());
    auto relay = [&](Peer &from, const QByteArray &target) {
        const QByteArray header = "TRANS$" + QByteArray(from.unit().parts().self.name) + "$0$0$0$" + target;
        from->sendBufferToServer("relayed", 7, kServerIp, s->port, header.constData());
        ASSERT_TRUE(settle());
    };
    relay(*m, "127.0.0.2$" + portText(*b)); // stranger to a client
    relay(*m, "0.0.0.0$0");                 // stranger to every client
    relay(*a, "127.0.0.2$" + portText(*m)); // client to a stranger
    relay(*a, "127.0.0.9$4000");            // client to anywhere
    EXPECT_EQ(s->countLogs("Packet Transfer Data Refused, not between clients:"), 4);
    EXPECT_EQ(sentByS.total(), 0); // neither forwarded nor acknowledged
    EXPECT_TRUE(b->received.isEmpty());
    EXPECT_TRUE(m->received.isEmpty());

    relay(*a, "127.0.0.2$" + portText(*b));
    relay(*a, "0.0.0.0$0");
    ASSERT_TRUE(pumpUntil([&] { return b->received.size() == 2 && a->received.size() == 1; }));
    EXPECT_EQ(sentByS.count("RECEIVED", a->port), 2);
    EXPECT_EQ(s->countLogs("Packet Transfer Data Received:"), 2);
}

TEST_F(HostilePeer, HoleRequestsOnlyBetweenClientsAndFromServers)
{
    SentCounter sentByS, sentByB;
    sentByS.attach(&s->unit());
    sentByB.attach(&b->unit());
    const QByteArray holeReq = "HOLEREQ$mallory$0$0$0$127.0.0.2$" + portText(*m);
    const QByteArray toBob = "$0$0$0$127.0.0.2$" + portText(*b);

    sendRaw(*m, *s, area("TRANSHOLE$mallory" + toBob) + area(holeReq), 160);                    // stranger to a client
    sendRaw(*a, *s, area("TRANSHOLE$alice$0$0$0$127.0.0.2$" + portText(*m)) + area(holeReq), 160); // client to a stranger
    sendRaw(*m, *b, holeReq);                                                                    // not through a server
    EXPECT_EQ(s->countLogs("Packet Transfer Hole Request Refused, not between clients:"), 2);
    EXPECT_EQ(b->countLogs("Hole request not from a server ignored:"), 1);
    EXPECT_EQ(sentByS.total(), 0);
    EXPECT_EQ(sentByB.total(), 0);
    EXPECT_FALSE(m->hasLog("Get hole test from:"));

    sendRaw(*a, *s, area("TRANSHOLE$alice" + toBob) + area("HOLEREQ$alice$0$0$0$127.0.0.2$" + portText(*a)), 160);
    EXPECT_EQ(sentByS.count("HOLEREQ", b->port), 1);
    EXPECT_EQ(sentByB.count("NOLVHOLE", a->port), 1);
}

TEST_F(HostilePeer, PacketsAndReceiptsOnlyForTheReceivers)
{
    SentCounter sentByA, sentByB;
    sentByA.attach(&a->unit());
    bool holdBobsAnswer = true; // bob's own answer is ours to send, later
    sentByB.drop = [&](const QByteArray &w) { return holdBobsAnswer && w == "RECEIVED"; };
    sentByB.attach(&b->unit());
    NOLVUDPBUFFER *data = UnitInspector::buildBuffer(a->unit(), "for bob only");
    ASSERT_TRUE(data);
    UnitInspector::sendBufferToAddr(a->unit(), data, kServerIp, b->port);
    ASSERT_TRUE(pumpUntil([&] { return b->received.size() == 1; }));
    const QByteArray id = "$" + QByteArray::number(data->date) + "$" + QByteArray::number(data->time);
    const SENDRECORD *record = a->unit().parts().sends.all().last();
    // While bob's answer is held, alice may write packet 1 to him again
    // early (a slow machine): only what goes to mallory counts.
    const int toMallory = sentByA.toPort.value(m->port);

    sendRaw(*m, *a, "REQUEST$mallory" + id + "$1");
    sendRaw(*m, *a, "RECEIVED$mallory" + id + " Total:1");
    EXPECT_EQ(sentByA.toPort.value(m->port), toMallory);
    EXPECT_EQ(a->countLogs("Lost packet request from a non-receiver refused:"), 1);
    EXPECT_EQ(a->countLogs("Receipt matching no send ignored:"), 1);
    EXPECT_FALSE(a->hasLog("Packet send success:"));
    EXPECT_EQ(record->retries, wire::kInitialRetries);

    sendRaw(*b, *a, "REQUEST$bob" + id + "$1");
    EXPECT_GE(sentByA.count("DATA", b->port), 2); // the answer, or an early resend just before it
    holdBobsAnswer = false;
    sendRaw(*b, *a, "RECEIVED$bob" + id + " Total:1");
    EXPECT_TRUE(a->hasLog("Packet send success:"));
    EXPECT_EQ(record->retries, wire::kRemoveMark);
}
