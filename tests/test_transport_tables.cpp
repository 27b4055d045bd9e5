// The ordered tables with their hash index, and the lookups of the transport
// through them: which record a RECEIVED, REQUEST or packet finds.
#include <gtest/gtest.h>

#include "support/peer.h"
#include "transport/record_keys.h"
#include "transport_packets.h"
#include "core/record_table.h"

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
    Peer a("alice", "127.0.0.2", 0);
    tp::Capture out(a.unit());
    NOLVUDPBUFFER *b = UnitInspector::buildBuffer(a.unit(), "to two");
    UnitInspector::sendBufferToAddr(a.unit(), b, "127.0.0.3", 47000);
    UnitInspector::sendBufferToAddr(a.unit(), b, "127.0.0.4", 47000);
    ASSERT_EQ(UnitInspector::sendRecords(a.unit()).size(), 2);

    NOLVUDPPACKET ack = tp::single(1, 1, receivedText(b));
    UnitInspector::processPacket(a.unit(), &ack, QHostAddress("127.0.0.4"), 47000);
    EXPECT_EQ(a.countLogs("Packet send success:"), 1);
    EXPECT_EQ(UnitInspector::sendRecords(a.unit())[0]->retries, 6);
    EXPECT_EQ(UnitInspector::sendRecords(a.unit())[1]->retries, wire::kRemoveMark);

    a.tick();
    ASSERT_EQ(UnitInspector::sendRecords(a.unit()).size(), 1);
    EXPECT_STREQ(UnitInspector::sendRecords(a.unit())[0]->ip, "127.0.0.3");
    EXPECT_EQ(a.countLogs("repeat send UDP package:"), 1);
    EXPECT_EQ(a.countLogs("delete registed UDP package:"), 1);
}

TEST(TransportLookup, ReceivedMustMatchAddressTextAndPort)
{
    Peer a("alice", "127.0.0.2", 0);
    tp::Capture out(a.unit());
    NOLVUDPBUFFER *b = UnitInspector::buildBuffer(a.unit(), "x");
    // A destination written with leading zeros never matches the source
    // address text of the answer.
    UnitInspector::sendBufferToAddr(a.unit(), b, "127.000.000.003", 47000);
    UnitInspector::sendBufferToAddr(a.unit(), b, "127.0.0.3", 47000);
    NOLVUDPPACKET ack = tp::single(1, 1, receivedText(b));
    UnitInspector::processPacket(a.unit(), &ack, QHostAddress("127.0.0.3"), 47001); // other port
    EXPECT_EQ(UnitInspector::sendRecords(a.unit())[0]->retries, 6);
    EXPECT_EQ(UnitInspector::sendRecords(a.unit())[1]->retries, 6);
    UnitInspector::processPacket(a.unit(), &ack, QHostAddress("127.0.0.3"), 47000);
    EXPECT_EQ(UnitInspector::sendRecords(a.unit())[0]->retries, 6);
    EXPECT_EQ(UnitInspector::sendRecords(a.unit())[1]->retries, wire::kRemoveMark);

    // A RECEIVED for a buffer this unit never built logs no success.
    const qsizetype before = a.countLogs("Packet send success:");
    NOLVUDPPACKET stray = tp::single(1, 2, "RECEIVED$peer$123$456 Total:1");
    UnitInspector::processPacket(a.unit(), &stray, QHostAddress("127.0.0.3"), 47000);
    EXPECT_EQ(a.countLogs("Packet send success:"), before);
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
    EXPECT_EQ(UnitInspector::sendRecords(a.unit())[0]->retries, wire::kRemoveMark);
    EXPECT_TRUE(a.hasLog("Packet send failed because some error:$1$3 Total:1 To 127.0.0.3"));
    NOLVUDPPACKET unknown = tp::single(1, 4, "UNKOWN$peer$" + id);
    UnitInspector::processPacket(a.unit(), &unknown, QHostAddress("127.0.0.4"), 47000);
    EXPECT_EQ(UnitInspector::sendRecords(a.unit())[1]->retries, wire::kRemoveMark);
    a.tick();
    EXPECT_TRUE(UnitInspector::sendRecords(a.unit()).isEmpty());
    EXPECT_EQ(a.countLogs("repeat send UDP package:"), 0);
}

TEST(TransportLookup, ExpiredRecordLeavesTheIndex)
{
    Peer u("recv", "127.0.0.2", 0);
    tp::Capture out(u.unit());
    auto ps = tp::message(2461000, 77, "DATA$peer", QByteArray(600, 'e'));
    UnitInspector::processPacket(u.unit(), &ps[0], QHostAddress("127.0.0.3"), 47000);
    for (int i = 0; i < 11; ++i)
        UnitInspector::checkRecvBuffers(u.unit());
    ASSERT_TRUE(UnitInspector::recvBuffers(u.unit()).isEmpty());
    // The second packet now starts a new record instead of completing the
    // freed one.
    UnitInspector::processPacket(u.unit(), &ps[1], QHostAddress("127.0.0.3"), 47000);
    ASSERT_EQ(UnitInspector::recvBuffers(u.unit()).size(), 1);
    EXPECT_EQ(UnitInspector::recvBuffers(u.unit())[0]->count, 1);
    EXPECT_TRUE(u.received.isEmpty());
    UnitInspector::processPacket(u.unit(), &ps[0], QHostAddress("127.0.0.3"), 47000);
    ASSERT_EQ(u.received.size(), 1);
    EXPECT_EQ(u.received[0], QByteArray(600, 'e'));
}
