// Registry input that does not fit: overlong names and addresses in REG and
// REGACC, user lists that are short, cut or carry unterminated texts, and the
// lookups and merges those records go through.
#include <gtest/gtest.h>

#include "registry/list_merge.h"
#include "registry/peer_tables.h"
#include "registry_support.h"
#include "support/transport_parts.h"
#include "transport/buffers.h"
#include "transport_packets.h"

namespace {

PEERINFO record(const char *name, const char *ip, unsigned short port, const char *serverIp,
                unsigned short serverPort)
{
    PEERINFO p;
    std::memset(&p, 0, sizeof p);
    std::strncpy(p.name, name, sizeof p.name - 1);
    std::strncpy(p.ip, ip, sizeof p.ip - 1);
    p.port = port;
    std::strncpy(p.serverIp, serverIp, sizeof p.serverIp - 1);
    p.serverPort = serverPort;
    p.access = 1;
    return p;
}

QByteArray bytesOf(std::initializer_list<PEERINFO> records)
{
    QByteArray out;
    for (const PEERINFO &p : records)
        out.append(reinterpret_cast<const char *>(&p), sizeof p);
    return out;
}

// A user list of `body` bytes sent by `from` over the network to `to`.
void sendList(Peer &from, Peer &to, const QByteArray &body)
{
    const QByteArray header = "PEERLIST$" + QByteArray(from.unit().parts().self.name) + "$0$0$0";
    NOLVUDPBUFFER *b = UnitInspector::buildBuffer(from.unit(), body, header.constData());
    ASSERT_TRUE(b);
    UnitInspector::sendBufferToAddr(from.unit(), b, "127.0.0.2", to.port);
}

// The registry's tables and its merge of user lists, over the transport's
// parts: no unit, no socket.
struct RegistryParts : TransportParts {
    using TransportParts::TransportParts;
    void mergeList(const QByteArray &records, const char *serverIp, unsigned short serverPort)
    {
        Lifetime::Entry entry(life);
        merge.merge(records.constData(), int(records.size() / sizeof(PEERINFO)), serverIp, serverPort);
    }

    PeerTables peers{host, life};
    ListMerge merge{self, peers, incoming, reassembly, host};
};

const QByteArray kTwoByteChar("\xC4\xE3"); // one GB18030 character

} // namespace

TEST(RegistryInput, OverlongNamesAndAddressesAreCutInsideTheirFields)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", 46300);

    const QByteArray longName(60, 'n');
    inject(server.unit(), "REG$" + longName, "127.0.0.2", 46391);
    ASSERT_EQ(server.unit().parts().peers.clients().all().size(), 1);
    const PEERINFO *c = server.unit().parts().peers.clients().all()[0];
    EXPECT_EQ(field(c->name), longName.left(39));
    EXPECT_TRUE(zeroTail(c->name));

    // A multi-byte name is cut before the character that does not fit.
    inject(server.unit(), "REG$" + kTwoByteChar.repeated(20), "127.0.0.2", 46392);
    ASSERT_EQ(server.unit().parts().peers.clients().all().size(), 2);
    EXPECT_EQ(field(server.unit().parts().peers.clients().all()[1]->name), kTwoByteChar.repeated(19));

    // The overlong name is the key: the same REG again is refused, and its
    // heartbeat finds the entry.
    inject(server.unit(), "REG$" + longName, "127.0.0.2", 46393);
    EXPECT_EQ(server.unit().parts().peers.clients().all().size(), 2);
    server.tick();
    inject(server.unit(), "ALIVE$" + longName, "127.0.0.2", 46391);
    EXPECT_EQ(server.unit().parts().peers.clients().all()[0]->life, 0);

    // An acceptance that reports an overlong address and an out-of-range port.
    Peer alice("alice", "127.0.0.3", 46301);
    // (The header is 80 bytes: a 40-byte name leaves room for the fields.)
    const QByteArray name40(40, 'm');
    acceptAsServer(alice.unit(), "REGACC$" + name40 + "$0$0$0$123.123.123.123.123$70000", "127.0.0.2", 46300);
    ASSERT_EQ(alice.unit().parts().peers.servers().all().size(), 1);
    EXPECT_EQ(field(alice.unit().parts().peers.servers().all()[0]->name), name40.left(39));
    EXPECT_EQ(QByteArray(alice->getAddrForPeer()), "123.123.123.123");
    EXPECT_EQ(alice->getPortForPeer(), static_cast<unsigned short>(70000));
}

TEST(RegistryInput, UnterminatedRecordTextsAreCutAndPartialRecordsIgnored)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer fake("fake", "127.0.0.2", 46310);
    Peer alice("alice", "127.0.0.3", 46311);

    PEERINFO wild;
    std::memset(&wild, 'X', sizeof wild);
    std::memset(wild.name, 'N', sizeof wild.name);
    std::memset(wild.ip, '1', sizeof wild.ip);
    std::memset(wild.localIp, '2', sizeof wild.localIp);
    std::memset(wild.serverName, 'S', sizeof wild.serverName);
    std::memset(wild.serverIp, '3', sizeof wild.serverIp);
    PEERINFO wide = record("", "127.0.0.2", 46319, "127.0.0.2", 46310);
    std::memcpy(wide.name, kTwoByteChar.repeated(20).constData(), sizeof wide.name);
    const PEERINFO bob = record("bob", "127.0.0.2", 46312, "127.0.0.2", 46310);

    acceptAsServer(alice.unit(), "REGACC$fake$0$0$0$127.0.0.2$46311", "127.0.0.2", 46310);
    // Three whole records (the list spans two datagrams) and 100 stray bytes.
    sendList(fake, alice, bytesOf({wild, wide, bob}) + QByteArray(100, 'Z'));
    ASSERT_TRUE(pumpUntil([&] { return alice.hasLog("Get Server User List"); }));
    const auto &live = alice.unit().parts().peers.liveUsers().all();
    ASSERT_EQ(live.size(), 3);
    EXPECT_EQ(field(live[0]->name), QByteArray(39, 'N'));
    EXPECT_EQ(field(live[0]->ip), QByteArray(15, '1'));
    EXPECT_EQ(field(live[0]->localIp), QByteArray(15, '2'));
    EXPECT_EQ(field(live[0]->serverName), QByteArray(39, 'S'));
    EXPECT_EQ(field(live[0]->serverIp), QByteArray(15, '3'));
    EXPECT_EQ(live[0]->access, 0);
    EXPECT_EQ(field(live[1]->name), kTwoByteChar.repeated(19));
    EXPECT_EQ(field(live[2]->name), "bob");

    // The cut entry is found again by its cut key: a repeat adds nothing.
    sendList(fake, alice, bytesOf({wild, wide, bob}));
    ASSERT_TRUE(pumpUntil([&] { return alice.countLogs("Get Server User List") == 2; }));
    EXPECT_EQ(live.size(), 3);

    // Lookups and log lines on the cut entries stay inside their fields.
    EXPECT_EQ(alice.unit().parts().peers.findLiveUser(nullptr, 0, QByteArray(39, 'N').constData(), nullptr, 0),
              live[0]);
}

TEST(RegistryInput, ShortAndEmptyListsStayInsideTheMessage)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer alice("alice", "127.0.0.3", 46321);
    UnitInspector::mergePeerList(alice.unit(), bytesOf({record("bob", "127.0.0.2", 46322, "127.0.0.2", 46320)}),
                                 "127.0.0.2", 46320);
    UnitInspector::mergePeerList(alice.unit(), bytesOf({record("carol", "127.0.0.2", 46323, "127.0.0.2", 46330)}),
                                 "127.0.0.2", 46330);
    ASSERT_EQ(alice.unit().parts().peers.liveUsers().all().size(), 2);
    acceptAsServer(alice.unit(), "REGACC$one$0$0$0$127.0.0.2$46321", "127.0.0.2", 46320);
    acceptAsServer(alice.unit(), "REGACC$two$0$0$0$127.0.0.2$46321", "127.0.0.2", 46330);

    // A list message shorter than its header is no list: dropped, it removes
    // nobody.
    inject(alice.unit(), "PEERLIST$one", "127.0.0.2", 46320);
    EXPECT_TRUE(alice.hasLog("Short user list dropped:"));
    EXPECT_FALSE(alice.hasLog("Get Server User List"));
    EXPECT_EQ(alice.unit().parts().peers.liveUsers().all().size(), 2);

    // A header without records removes that server's users.
    QByteArray empty("PEERLIST$one$0$0$0");
    empty.resize(80, '\0');
    inject(alice.unit(), empty, "127.0.0.2", 46320);
    for (const PEERINFO *p : alice.unit().parts().peers.liveUsers().all())
        EXPECT_EQ(p->serverPort, 46330);
    EXPECT_EQ(alice.unit().parts().peers.liveUsers().all().size(), 1);

    // A header and part of one record: still no record.
    QByteArray partial("PEERLIST$two$0$0$0");
    partial.resize(80 + 100, '\0');
    inject(alice.unit(), partial, "127.0.0.2", 46330);
    EXPECT_TRUE(alice.unit().parts().peers.liveUsers().all().isEmpty());
}

TEST(RegistryInput, MergeRules)
{
    RegistryParts r("alice");
    const char *one = "127.0.0.2";
    r.mergeList(bytesOf({record("alice", "127.0.0.2", 46341, one, 46340), record("bob", "127.0.0.2", 46342, one, 46340),
                         record("carol", "127.0.0.2", 46343, one, 46340)}),
                one, 46340);
    const auto &live = r.peers.liveUsers().all();
    ASSERT_EQ(live.size(), 2); // never itself
    live[1]->access = 1;
    PEERINFO *carol = live[1];

    // Without bob: bob goes, carol keeps her record and its access.
    r.mergeList(bytesOf({record("carol", "127.0.0.2", 46343, one, 46340)}), one, 46340);
    ASSERT_EQ(live.size(), 1);
    EXPECT_EQ(live[0], carol);
    EXPECT_EQ(carol->access, 1);

    // A list whose sender is not the server its records name marks nothing:
    // carol stays although that list no longer holds her.
    r.mergeList(bytesOf({record("dave", "127.0.0.2", 46344, one, 46340)}), one, 46399);
    EXPECT_EQ(live.size(), 2);

    // An empty list from the server removes its users and only those.
    r.mergeList(bytesOf({record("erin", "127.0.0.2", 46345, "127.0.0.4", 46340)}), "127.0.0.4", 46340);
    r.mergeList(QByteArray(), one, 46340);
    ASSERT_EQ(live.size(), 1);
    EXPECT_EQ(field(live[0]->name), "erin");
}

TEST(RegistryInput, LookupsAndRemovalByServer)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer alice("alice", "127.0.0.3", 46351);
    EXPECT_EQ(alice.unit().parts().peers.findServer(nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(alice.unit().parts().peers.findLiveUser(nullptr, 0, nullptr, nullptr, 0), nullptr);

    acceptAsServer(alice.unit(), "REGACC$one$0$0$0$127.0.0.2$46351", "127.0.0.2", 46352);
    acceptAsServer(alice.unit(), "REGACC$two$0$0$0$127.0.0.2$46351", "127.0.0.2", 46353);
    inject(alice.unit(), "REGACC$one$0$0$0$127.0.0.2$46351", "127.0.0.2", 46352); // ignored
    const auto &servers = alice.unit().parts().peers.servers().all();
    ASSERT_EQ(servers.size(), 2);
    EXPECT_EQ(alice.unit().parts().peers.findServer(nullptr, 0, nullptr), servers[0]);
    EXPECT_EQ(alice.unit().parts().peers.findServer("127.0.0.2", 0, nullptr), servers[0]);
    EXPECT_EQ(alice.unit().parts().peers.findServer("127.0.0.2", 46353, nullptr), servers[1]);
    EXPECT_EQ(alice.unit().parts().peers.findServer(nullptr, 0, "two"), servers[1]);
    EXPECT_EQ(alice.unit().parts().peers.findServer(nullptr, 0, "Two"), nullptr);
    EXPECT_EQ(alice.unit().parts().peers.findServer("127.0.0.20", 0, nullptr), nullptr);

    UnitInspector::mergePeerList(alice.unit(),
                                 bytesOf({record("bob", "127.0.0.2", 46354, "127.0.0.2", 46352),
                                          record("Bob", "127.0.0.2", 46354, "127.0.0.2", 46352)}),
                                 "127.0.0.2", 46352);
    UnitInspector::mergePeerList(alice.unit(), bytesOf({record("bob", "127.0.0.2", 46354, "127.0.0.2", 46353)}),
                                 "127.0.0.2", 46353);
    const auto &live = alice.unit().parts().peers.liveUsers().all();
    ASSERT_EQ(live.size(), 3);
    EXPECT_EQ(alice.unit().parts().peers.findLiveUser("127.0.0.2", 46354, "Bob", nullptr, 0), live[1]);
    EXPECT_EQ(alice.unit().parts().peers.findLiveUser("127.0.0.2", 46354, nullptr, nullptr, 46353), live[2]);

    QStringList trail;
    RecordingWindow window(&trail);
    alice->setHostWindow(window.handle());
    traceSignals(alice.unit(), &trail);
    UnitInspector::rebuildLiveUserByServer(alice.unit(), "127.0.0.2", 46352, false);
    EXPECT_TRUE(trail.isEmpty());
    UnitInspector::rebuildLiveUserByServer(alice.unit(), "127.0.0.2", 46399, true);
    EXPECT_EQ(live.size(), 3);
    EXPECT_EQ(trail, QStringList({"userListChanged", "list:101"}));
    UnitInspector::rebuildLiveUserByServer(alice.unit(), "127.0.0.2", 46352, true);
    ASSERT_EQ(live.size(), 1);
    EXPECT_EQ(live[0]->serverPort, 46353);
}

TEST(RegistryInput, OlderListsFromAServerAreNeitherAskedForNorMerged)
{
    // Pushes during a burst overtake each other: once a newer list from a
    // server is in, an older one is not asked for, and completed late it is
    // acknowledged but not merged, since it would bring back removed users.
    ASSERT_TRUE(haveTestAddresses());
    Peer fake("fake", "127.0.0.2", 46350);
    Peer alice("alice", "127.0.0.3", 46351);
    acceptAsServer(alice.unit(), "REGACC$fake$0$0$0$127.0.0.3$46351", "127.0.0.2", 46350);
    const char *header = "PEERLIST$fake$0$0$0";
    auto user = [](const char *name, unsigned short port) { return record(name, "127.0.0.2", port, "127.0.0.2", 46350); };
    NOLVUDPBUFFER *older = UnitInspector::buildBuffer(
        fake.unit(), bytesOf({user("bob", 46352), user("carol", 46353), user("dave", 46354), user("erin", 46355)}),
        header);
    NOLVUDPBUFFER *newer = UnitInspector::buildBuffer(fake.unit(), bytesOf({user("bob", 46352)}), header);
    ASSERT_GE(older->total, 2);
    const QHostAddress from(QStringLiteral("127.0.0.2"));

    auto feed = [&](NOLVUDPBUFFER *list, int i) {
        NOLVUDPPACKET p = tp::packetOf(list, i);
        UnitInspector::processPacket(alice.unit(), &p, from, 46350);
    };
    feed(older, 0);
    for (int i = 0; i < newer->total; ++i)
        feed(newer, i);
    ASSERT_EQ(alice.unit().parts().peers.liveUsers().all().size(), 1);
    const NOLVUDPBUFFER *held = nullptr;
    for (const NOLVUDPBUFFER *r : alice.unit().parts().incoming.all())
        if (r->date == older->date && r->time == older->time)
            held = r;
    ASSERT_TRUE(held);
    EXPECT_TRUE(held->superseded);

    for (int i = 1; i < older->total; ++i)
        feed(older, i);
    EXPECT_TRUE(alice.hasLog("Older user list dropped:"));
    EXPECT_EQ(alice.countLogs("Get Server User List"), 1);
    EXPECT_EQ(alice.unit().parts().peers.liveUsers().all().size(), 1);
    EXPECT_TRUE(held->acknowledged);
}

TEST(RegistryInput, ListOrderFollowsAServerWhoseClockStepsBackAndIgnoresStrangers)
{
    Peer alice("alice", "127.0.0.3", 0);
    tp::Capture out(alice.unit());
    acceptAsServer(alice.unit(), "REGACC$srv$0$0$0$127.0.0.3$46361", "127.0.0.2", 46360);
    const QHostAddress server(QStringLiteral("127.0.0.2"));
    auto list = [&](int32_t time, const char *user) {
        const QByteArray users = bytesOf({record(user, "127.0.0.2", 46362, "127.0.0.2", 46360),
                                          record("zed", "127.0.0.2", 46363, "127.0.0.2", 46360),
                                          record("yan", "127.0.0.2", 46364, "127.0.0.2", 46360),
                                          record("xia", "127.0.0.2", 46365, "127.0.0.2", 46360)});
        return tp::message(2461000, time, "PEERLIST$srv$0$0$0", users);
    };
    auto feedAll = [&](const std::vector<NOLVUDPPACKET> &ps) {
        for (NOLVUDPPACKET p : ps)
            UnitInspector::processPacket(alice.unit(), &p, server, 46360);
    };
    auto listed = [&](const char *user) {
        for (const PEERINFO *p : alice.unit().parts().peers.liveUsers().all())
            if (std::strcmp(p->name, user) == 0)
                return true;
        return false;
    };

    // The server's clock steps back two minutes (daylight saving time ends):
    // its next list starts a new order and is merged; one that is older
    // within that order is still dropped.
    feedAll(list(40000000, "bob"));
    feedAll(list(40000000 - 120000, "carol"));
    EXPECT_TRUE(listed("carol") && !listed("bob"));
    feedAll(list(40000000 - 121000, "dave"));
    EXPECT_TRUE(listed("carol") && !listed("dave"));
    EXPECT_EQ(alice.countLogs("Older user list dropped:"), 1);

    // First packets of lists from a stranger are not ordered (they would be
    // dropped when complete), however many come.
    for (int i = 0; i < 3; ++i) {
        NOLVUDPPACKET first = list(50000000 + i, "eve")[0];
        UnitInspector::processPacket(alice.unit(), &first, QHostAddress("127.0.0.5"), 46370);
    }
    for (const NOLVUDPBUFFER *r : alice.unit().parts().incoming.all()) {
        if (std::strcmp(r->ip, "127.0.0.5") == 0) {
            EXPECT_FALSE(r->superseded);
        }
    }
}
