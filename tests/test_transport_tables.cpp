// The ordered tables with their hash index, and the lookups of the transport
// through them: which record a RECEIVED, REQUEST or packet finds.
#include <gtest/gtest.h>

#include "core/record_table.h"
#include "support/peer.h"
#include "support/transport_parts.h"
#include "transport/record_keys.h"
#include "transport_packets.h"

namespace {

SENDRECORD *record(int32_t date, int32_t time, const char *ip, uint16_t port)
{
    auto *r = new SENDRECORD();
    r->date = date;
    r->time = time;
    std::strncpy(r->ip, ip, sizeof r->ip - 1);
    r->port = port;
    return r;
}

QByteArray receivedText(const NOLVUDPBUFFER *b)
{
    return "RECEIVED$peer$" + QByteArray::number(b->date) + "$" + QByteArray::number(b->time) + " Total:" +
           QByteArray::number(b->total);
}

} // namespace

TEST(RecordTable, IndexFollowsTheTableInOrder)
{
    SendRecordTable table(sendRecordKey);
    SENDRECORD *a = record(1, 2, "127.0.0.3", 5);
    SENDRECORD *b = record(1, 2, "127.0.0.3", 5); // same key, later
    SENDRECORD *c = record(1, 2, "127.0.0.3", 6);
    table.append(a);
    table.append(b);
    table.append(c);
    EXPECT_EQ(table.first(MessageKey(1, 2, "127.0.0.3", 5)), a);
    EXPECT_EQ(table.first(MessageKey(1, 2, "127.0.0.3", 6)), c);
    EXPECT_EQ(table.first(MessageKey(1, 2, "127.0.0.30", 5)), nullptr);
    EXPECT_EQ(table.first(MessageKey(1, 2, nullptr, 5)), nullptr);

    // Taking a record out takes it out of the index too.
    EXPECT_EQ(table.takeAt(0), a);
    EXPECT_EQ(table.first(MessageKey(1, 2, "127.0.0.3", 5)), b);
    EXPECT_TRUE(table.remove(b));
    EXPECT_FALSE(table.remove(b));
    EXPECT_EQ(table.first(MessageKey(1, 2, "127.0.0.3", 5)), nullptr);
    ASSERT_EQ(table.size(), 1);
    EXPECT_EQ(table.at(0), c);
    for (SENDRECORD *r : table.takeAll())
        delete r;
    EXPECT_TRUE(table.isEmpty());
    EXPECT_EQ(table.first(MessageKey(1, 2, "127.0.0.3", 6)), nullptr);
    delete a;
    delete b;
}

TEST(TransportLookup, ReceivedCancelsOnlyTheAnsweringDestination)
{
    TransportParts t;
    NOLVUDPBUFFER *b = t.send("to two", {SendTarget("127.0.0.3", 47000), SendTarget("127.0.0.4", 47000)});
    ASSERT_EQ(t.sends.all().size(), 2);

    t.receive(tp::single(1, 1, receivedText(b)), QHostAddress("127.0.0.4"), 47000);
    EXPECT_EQ(t.countLogs("Packet send success:"), 1);
    EXPECT_EQ(t.sends.all()[0]->retries, 6);
    EXPECT_EQ(t.sends.all()[1]->retries, wire::kRemoveMark);

    t.sends.tick();
    ASSERT_EQ(t.sends.all().size(), 1);
    EXPECT_STREQ(t.sends.all()[0]->ip, "127.0.0.3");
    EXPECT_EQ(t.countLogs("repeat send UDP package:"), 1);
    EXPECT_EQ(t.countLogs("delete registed UDP package:"), 1);
}

TEST(TransportLookup, ReceivedMustMatchAddressTextAndPort)
{
    TransportParts t;
    // A destination written with leading zeros never matches the source
    // address text of the answer.
    NOLVUDPBUFFER *b = t.send("x", {SendTarget("127.000.000.003", 47000), SendTarget("127.0.0.3", 47000)});
    t.receive(tp::single(1, 1, receivedText(b)), QHostAddress("127.0.0.3"),
              47001); // other port
    EXPECT_EQ(t.sends.all()[0]->retries, 6);
    EXPECT_EQ(t.sends.all()[1]->retries, 6);
    t.receive(tp::single(1, 1, receivedText(b)), QHostAddress("127.0.0.3"), 47000);
    EXPECT_EQ(t.sends.all()[0]->retries, 6);
    EXPECT_EQ(t.sends.all()[1]->retries, wire::kRemoveMark);

    // A RECEIVED for a buffer this unit never built logs no success.
    const int before = t.countLogs("Packet send success:");
    t.receive(tp::single(1, 2, "RECEIVED$peer$123$456 Total:1"), QHostAddress("127.0.0.3"), 47000);
    EXPECT_EQ(t.countLogs("Packet send success:"), before);
}

TEST(TransportLookup, DataFailAndUnkownRetireTheRecord)
{
    Peer a("alice", "127.0.0.2", 0);
    tp::Capture out(a.unit());
    NOLVUDPBUFFER *b = UnitInspector::buildBuffer(a.unit(), "x");
    UnitInspector::sendBufferToAddr(a.unit(), b, "127.0.0.3", 47000);
    UnitInspector::sendBufferToAddr(a.unit(), b, "127.0.0.4", 47000);
    const QByteArray id = QByteArray::number(b->date) + "$" + QByteArray::number(b->time);
    NOLVUDPPACKET fail = tp::single(1, 3, "DATAFAIL$peer$" + id);
    UnitInspector::processPacket(a.unit(), &fail, QHostAddress("127.0.0.3"), 47000);
    EXPECT_EQ(a.unit().parts().sends.all()[0]->retries, wire::kRemoveMark);
    EXPECT_TRUE(a.hasLog("Packet send failed because some error:$1$3 Total:1 To 127.0.0.3"));
    NOLVUDPPACKET unknown = tp::single(1, 4, "UNKOWN$peer$" + id);
    UnitInspector::processPacket(a.unit(), &unknown, QHostAddress("127.0.0.4"), 47000);
    EXPECT_EQ(a.unit().parts().sends.all()[1]->retries, wire::kRemoveMark);
    a.tick();
    EXPECT_TRUE(a.unit().parts().sends.all().isEmpty());
    EXPECT_EQ(a.countLogs("repeat send UDP package:"), 0);
}

TEST(TransportLookup, ExpiredRecordLeavesTheIndex)
{
    TransportParts t;
    auto ps = tp::message(2461000, 77, "DATA$peer", QByteArray(600, 'e'));
    t.receive(ps[0], QHostAddress("127.0.0.3"), 47000);
    for (int i = 0; i < 11; ++i)
        t.recoveryPass.expireRecords();
    ASSERT_TRUE(t.incoming.all().isEmpty());
    // The second packet now starts a new record instead of completing the
    // freed one.
    t.receive(ps[1], QHostAddress("127.0.0.3"), 47000);
    ASSERT_EQ(t.incoming.all().size(), 1);
    EXPECT_EQ(t.incoming.all()[0]->count, 1);
    EXPECT_TRUE(t.received.isEmpty());
    t.receive(ps[0], QHostAddress("127.0.0.3"), 47000);
    ASSERT_EQ(t.received.size(), 1);
    EXPECT_EQ(t.received[0], QByteArray(600, 'e'));
}
