// Incoming datagrams: the checks every packet passes, its mark, reassembly
// into incoming records (repeats recognised, the budget kept), and the
// hand-over of each complete message to the dispatcher; the acknowledgement
// of messages, and the DATA handler.
#pragma once

#include <QHostAddress>
#include <functional>

#include "transport/wire.h"

class ControlSender;
class Dispatcher;
class FeedbackGiver;
class HostBridge;
class IncomingRecords;
class Lifetime;
class LossRecovery;
class PathTable;
class SendReplies;
struct LocalIdentity;
struct Message;

class Reassembly {
public:
    struct Parts {
        LocalIdentity &self;
        IncomingRecords &records;
        PathTable &paths;
        LossRecovery &recovery;
        FeedbackGiver &feedback;
        SendReplies &replies;
        ControlSender &controls;
        Dispatcher &dispatcher;
        HostBridge &host;
        Lifetime &life;
    };
    explicit Reassembly(Parts parts) : p(parts) {}

    // The first packet of a message of several was filed in a new or
    // existing record (a user list's order is known from it).
    void setFirstPacketFiled(std::function<void(NOLVUDPBUFFER *record)> fn) { firstPacketFiled = std::move(fn); }

    // One datagram from sender:port.
    void process(NOLVUDPPACKET *packet, const QHostAddress &sender, unsigned short port);
    // RECEIVED for the message, to its source.
    void acknowledge(Message &m);
    void handleData(Message &m);

private:
    bool readPacket(NOLVUDPPACKET *packet, Message &m); // checks, marks; false: dropped
    NOLVUDPBUFFER *fileIntoRecord(Message &m, bool &onePacket, bool &sharesIdentity);
    bool fileIntoExisting(Message &m, NOLVUDPBUFFER *record);
    NOLVUDPBUFFER *fileIntoNew(Message &m, bool &onePacket);
    void noteFiled(Message &m, NOLVUDPBUFFER *record, int index);
    void handleRepeat(Message &m, NOLVUDPBUFFER *record);
    void deliver(Message &m, bool onePacket, bool sharesIdentity);
    bool keep(Message &m, NOLVUDPBUFFER *record);
    void sendReceived(int32_t date, int32_t time, int total, const char *ip, unsigned short port);
    int64_t receiptIntervalUs(const NOLVUDPBUFFER *record) const;

    Parts p;
    std::function<void(NOLVUDPBUFFER *record)> firstPacketFiled;
};
