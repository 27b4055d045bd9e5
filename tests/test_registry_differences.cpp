// User lists by difference between our units: a client applies differences
// in order, holds one that comes early, asks for the whole list again after
// a gap that stays open, a new run of the server or an unreadable one,
// ignores repeats and anyone but its server; a server sends differences to
// our units and whole lists to a client that writes zeros into the reserved
// bytes or does not know differences, and all end with the right list.
#include <functional>
#include <gtest/gtest.h>

#include "support/manual_clock.h"
#include "registry/list_diff_wire.h"
#include "registry_support.h"
#include "transport_packets.h"

namespace {

constexpr unsigned short kServerPort = 46720;

PEERINFO user(const char *name, unsigned short port)
{
    PEERINFO p;
    std::memset(&p, 0, sizeof p);
    std::strncpy(p.name, name, sizeof p.name - 1);
    std::strcpy(p.ip, "127.0.0.4");
    p.port = port;
    std::strcpy(p.serverIp, "127.0.0.2");
    p.serverPort = kServerPort;
    return p;
}

QByteArray records(const QList<QByteArray> &names)
{
    QByteArray out;
    for (const QByteArray &n : names) {
        const PEERINFO p = user(n.constData(), static_cast<unsigned short>(47000 + n[0]));
        out.append(reinterpret_cast<const char *>(&p), sizeof p);
    }
    return out;
}

// A PEERDIFF message as the server at 127.0.0.2:kServerPort would write it.
QByteArray peerDiff(listdiff::Kind kind, quint32 run, quint32 from, quint32 to,
                    const QList<QByteArray> &puts, const QList<QByteArray> &removes = {})
{
    listdiff::Head head{};
    head.kind = kind;
    head.run = run;
    head.from = from;
    head.to = to;
    QByteArray message(wire::kMessageHeaderSize, '\0');
    const QByteArray text("PEERDIFF$srv$0$0$0");
    message.replace(0, text.size(), text);
    return message + listdiff::build(head, records(puts), records(removes));
}

QStringList liveNames(MUDPUnit &u)
{
    QStringList names;
    for (const PEERINFO *p : u.parts().peers.liveUsers().all())
        names << QString::fromLatin1(p->name);
    names.sort();
    return names;
}

} // namespace

// After run 9 holds {gus, hal} at 3: what cannot be read is asked for
// again, and what does not come from the server changes nothing.
static void unreadableAndForgedChangeNothing(Peer &alice,
                                      const std::function<void(const QByteArray &, const char *, unsigned short)> &feed,
                                      const std::function<int()> &asks)
{
    // Unreadable: counts beyond the body, or from after to.
    QByteArray cut = peerDiff(listdiff::Difference, 9, 3, 4, {"ivy"});
    cut.chop(1);
    feed(cut, "127.0.0.2", kServerPort);
    EXPECT_EQ(asks(), 3);
    feed(peerDiff(listdiff::Difference, 9, 4, 4, {"ivy"}), "127.0.0.2", kServerPort);
    EXPECT_EQ(asks(), 4);
    EXPECT_EQ(liveNames(alice.unit()), QStringList({"gus", "hal"}));

    // Forged: from anyone but the server, at its address and port, nothing.
    feed(peerDiff(listdiff::Difference, 9, 2, 9, {"mal"}, {"hal"}), "127.0.0.5", kServerPort);
    feed(peerDiff(listdiff::Whole, 9, 0, 9, {"mal"}), "127.0.0.2", kServerPort + 1);
    EXPECT_EQ(liveNames(alice.unit()), QStringList({"gus", "hal"}));
    EXPECT_EQ(alice.countLogs("User list not from a server dropped:"), 2);
}

TEST(RegistryDifferences, ClientFollowsTheSeriesAndAsksAfterGaps)
{
    ManualClock clock;
    Peer alice("alice", "127.0.0.3", 0);
    tp::Capture out(alice.unit());
    acceptAsServer(alice.unit(), "REGACC$srv$0$0$0$127.0.0.3$46721", "127.0.0.2", kServerPort);
    QStringList trail;
    RecordingWindow window(&trail);
    alice->setHostWindow(window.handle());
    traceSignals(alice.unit(), &trail);
    auto feed = [&](const QByteArray &m, const char *ip = "127.0.0.2", unsigned short port = kServerPort) {
        clock.advance(1500); // past the bound on asks
        inject(alice.unit(), m, ip, port);
    };
    auto asks = [&] { return out.countWord("PEERSYNC"); };

    // A difference before the first whole list is held, then applied after it.
    feed(peerDiff(listdiff::Difference, 7, 3, 4, {"cat"}, {"ann"}));
    EXPECT_TRUE(liveNames(alice.unit()).isEmpty());
    feed(peerDiff(listdiff::Whole, 7, 0, 3, {"ann", "ben"}));
    EXPECT_EQ(liveNames(alice.unit()), QStringList({"ben", "cat"}));
    EXPECT_EQ(withoutLogs(trail), QStringList({"userListChanged", "list:101"})); // one merge, one notice
    EXPECT_EQ(asks(), 0);

    // A repeat changes nothing and tells nobody.
    trail.clear();
    feed(peerDiff(listdiff::Difference, 7, 3, 4, {"cat"}, {"ann"}));
    EXPECT_TRUE(withoutLogs(trail).isEmpty());

    // Out of order: the gap is held, and the late one fills it; no ask.
    feed(peerDiff(listdiff::Difference, 7, 5, 6, {"dan"}));
    EXPECT_EQ(liveNames(alice.unit()), QStringList({"ben", "cat"}));
    feed(peerDiff(listdiff::Difference, 7, 4, 5, {"eve"}, {"ben"}));
    EXPECT_EQ(liveNames(alice.unit()), QStringList({"cat", "dan", "eve"}));
    EXPECT_EQ(asks(), 0);

    // Lost (6 to 7 never comes): once the gap is older than a second, the
    // whole list is asked for; it replaces all, and the held differences it
    // covers are dropped.
    feed(peerDiff(listdiff::Difference, 7, 7, 8, {"fay"}));
    EXPECT_EQ(asks(), 0);
    feed(peerDiff(listdiff::Difference, 7, 8, 9, {"gil"}));
    EXPECT_EQ(asks(), 1);
    feed(peerDiff(listdiff::Whole, 7, 0, 9, {"cat", "fay"}));
    EXPECT_EQ(liveNames(alice.unit()), QStringList({"cat", "fay"}));
    feed(peerDiff(listdiff::Whole, 7, 0, 6, {"old"})); // an older whole list
    EXPECT_EQ(liveNames(alice.unit()), QStringList({"cat", "fay"}));
    EXPECT_EQ(alice.countLogs("Older user list dropped:"), 1);

    // The server restarted (another run): asked for at once, then followed afresh.
    feed(peerDiff(listdiff::Difference, 9, 2, 3, {"gus"}));
    EXPECT_EQ(asks(), 2);
    feed(peerDiff(listdiff::Whole, 9, 0, 2, {"hal"}));
    EXPECT_EQ(liveNames(alice.unit()), QStringList({"gus", "hal"}));

    unreadableAndForgedChangeNothing(alice, feed, asks);
}

TEST(RegistryDifferences, AGapWaitsForALongerDifferenceStillArriving)
{
    // A difference of many records is written a packet at a time, seconds
    // apart (the server writes to thousands); the small ones after it come
    // whole and are held. No whole list is asked for while its packets keep
    // coming.
    ManualClock clock;
    Peer alice("alice", "127.0.0.3", 0);
    tp::Capture out(alice.unit());
    acceptAsServer(alice.unit(), "REGACC$srv$0$0$0$127.0.0.3$46721", "127.0.0.2", kServerPort);
    const QHostAddress server(QStringLiteral("127.0.0.2"));
    inject(alice.unit(), peerDiff(listdiff::Whole, 7, 0, 3, {"ann"}), "127.0.0.2", kServerPort);
    QList<QByteArray> many;
    for (int i = 0; i < 48; ++i)
        many << "u" + QByteArray::number(i);
    const QByteArray big = peerDiff(listdiff::Difference, 7, 3, 4, many);
    std::vector<NOLVUDPPACKET> packets = tp::message(5, 6, big.left(wire::kMessageHeaderSize), big.mid(wire::kMessageHeaderSize));
    ASSERT_GE(packets.size(), 3u);
    for (size_t k = 0; k < packets.size(); ++k) {
        if (k > 0)
            clock.advance(900);
        if (k + 1 < packets.size()) {
            UnitInspector::processPacket(alice.unit(), &packets[k], server, kServerPort);
            inject(alice.unit(), peerDiff(listdiff::Difference, 7, 4 + quint32(k), 5 + quint32(k), {"zed"}), "127.0.0.2",
                   kServerPort);
        }
    }
    EXPECT_EQ(out.countWord("PEERSYNC"), 0);
    UnitInspector::processPacket(alice.unit(), &packets.back(), server, kServerPort);
    EXPECT_EQ(liveNames(alice.unit()).size(), 50);
    EXPECT_EQ(out.countWord("PEERSYNC"), 0);
    // Once nothing comes for a second, the gap is asked for, at the tick
    // when no later difference comes to show it.
    inject(alice.unit(), peerDiff(listdiff::Difference, 7, 20, 21, {"yan"}), "127.0.0.2", kServerPort);
    alice.tick();
    EXPECT_EQ(out.countWord("PEERSYNC"), 0);
    clock.advance(1100);
    alice.tick();
    EXPECT_EQ(out.countWord("PEERSYNC"), 1);
    EXPECT_EQ(alice.countLogs("Gap in user lists:"), 1);
}

TEST(RegistryDifferences, OursAndDesignExactClientsOnOneServer)
{
    ASSERT_TRUE(haveTestAddresses());
    Peer server("server", "127.0.0.2", kServerPort + 10);
    Peer alice("alice", "127.0.0.3", kServerPort + 11), bob("bob", "127.0.0.4", kServerPort + 12),
        carol("carol", "127.0.0.5", kServerPort + 13);
    // Bob writes zeros into the reserved bytes, as a design-exact peer does.
    bob->setOutgoingTap([](QByteArray &d, QHostAddress &, quint16 &) {
        d = tp::unmarked(d);
        return true;
    });
    QMap<quint16, QStringList> words; // by destination port
    server->setOutgoingTap([&](QByteArray &d, QHostAddress &, quint16 &port) {
        const QByteArray w = tp::wordOf(d);
        if (w == "PEERLIST" || w == "PEERDIFF")
            words[port] << QString::fromLatin1(w);
        return true;
    });
    for (Peer *c : {&alice, &bob, &carol})
        (*c)->regToServer("127.0.0.2", kServerPort + 10);
    auto everyoneLists = [&](const QStringList &expected) {
        return pumpUntil([&] {
            for (Peer *c : {&alice, &bob, &carol}) {
                QStringList others = expected;
                others.removeAll(QString::fromLatin1(c->unit().parts().self.name));
                if (c->unit().parts().peers.servers().all().size() == 1 && liveNames(c->unit()) != others)
                    return false;
            }
            return true;
        });
    };
    ASSERT_TRUE(everyoneLists({"alice", "bob", "carol"}));
    carol->unRegFromServer("127.0.0.2", kServerPort + 10);
    // Our units lose her at once, the design-exact client at the next tick.
    EXPECT_TRUE(pumpUntil([&] { return liveNames(alice.unit()) == QStringList({"bob"}); }));
    EXPECT_TRUE(liveNames(bob.unit()).contains("carol"));
    server.tick(); // the marked entry goes
    EXPECT_TRUE(everyoneLists({"alice", "bob"}));
    // Alice answers as one of our units from before differences would: she
    // gets whole lists from then on, the first at once.
    inject(server.unit(), "UNKOWN$alice$Word Unkown:PEERDIFF", "127.0.0.2", kServerPort + 11);
    EXPECT_TRUE(pumpUntil([&] { return words[kServerPort + 11].endsWith("PEERLIST"); }));
    EXPECT_TRUE(everyoneLists({"alice", "bob"}));
    server->setOutgoingTap(nullptr);
    bob->setOutgoingTap(nullptr);

    EXPECT_TRUE(words[kServerPort + 12].size() >= 3 && !words[kServerPort + 12].contains("PEERDIFF"));
    EXPECT_FALSE(words[kServerPort + 13].isEmpty() || words[kServerPort + 13].contains("PEERLIST"));
    const QStringList toAlice = words[kServerPort + 11];
    EXPECT_EQ(toAlice.first(), "PEERDIFF");
    EXPECT_EQ(toAlice.mid(toAlice.indexOf("PEERLIST")).count("PEERDIFF"), 0) << toAlice.join(' ').toStdString();
    const MUDPUnit::ListPushStats stats = server->listPushStats();
    EXPECT_EQ(stats.asked, 0);
}

TEST(RegistryDifferences, PackedRecordsReadBackExactlyAndEveryCutIsRefused)
{
    // Records of two servers, texts at their longest: what is read back is
    // the records, texts terminated and zeros after them, as version 1's
    // fixed records give them too.
    PEERINFO a = user("ann", 47001), b = user("bob", 47002), c = user("cal", 47003);
    std::memset(a.name, 'n', sizeof a.name - 1);
    std::strcpy(b.serverIp, "127.0.0.9");
    std::strcpy(b.serverName, "other");
    b.access = 1;
    b.life = -9999;
    QByteArray puts, removes;
    for (const PEERINFO *p : {&a, &b, &c})
        puts.append(reinterpret_cast<const char *>(p), sizeof *p);
    removes.append(reinterpret_cast<const char *>(&a), sizeof a);
    listdiff::Head head{};
    head.kind = listdiff::Difference;
    head.from = 3;
    head.to = 4;
    const QByteArray body = listdiff::build(head, puts, removes);
    EXPECT_LT(body.size(), 24 + 4 * 144 / 2);
    listdiff::View v;
    ASSERT_TRUE(listdiff::read(body.constData(), int(body.size()), &v));
    EXPECT_EQ(v.head.version, listdiff::kVersionPacked);
    EXPECT_EQ(v.puts, puts);
    EXPECT_EQ(v.removes, removes);

    QByteArray fixed = body.left(24);
    fixed[0] = char(listdiff::kVersionFixed);
    fixed += puts + removes;
    ASSERT_TRUE(listdiff::read(fixed.constData(), int(fixed.size()), &v));
    EXPECT_EQ(v.puts, puts);

    // Every shorter body, a text longer than its field, a count beyond the
    // body: refused, nothing read past the end (the sanitizers watch).
    for (int n = 0; n < body.size(); ++n) {
        const QByteArray cut = body.left(n);
        EXPECT_FALSE(listdiff::read(cut.constData(), n, &v)) << n;
    }
    QByteArray longText = body;
    longText[24 + 1] = char(40); // ann's name: 40 bytes for a field of 40
    EXPECT_FALSE(listdiff::read(longText.constData(), int(longText.size()), &v));
    QByteArray many = body;
    many[16] = char(0xff);
    many[19] = char(0x7f);
    EXPECT_FALSE(listdiff::read(many.constData(), int(many.size()), &v));
}
