// The incoming messages under reassembly or kept to acknowledge repeats
// (recvBuffers), and the budget of what they hold.
#pragma once

#include "transport/receive/receive_budget.h"
#include "transport/retire.h"

class IncomingRecords {
public:
    IncomingRecords() = default;
    ~IncomingRecords();
    IncomingRecords(const IncomingRecords &) = delete;
    IncomingRecords &operator=(const IncomingRecords &) = delete;

    NOLVUDPBUFFER *find(const char *ip, int32_t date, int32_t time, unsigned short port) const
    {
        return records.first(MessageKey(date, time, ip, port));
    }
    int size() const { return records.size(); }
    NOLVUDPBUFFER *at(int i) const { return records.at(i); }
    const QList<NOLVUDPBUFFER *> &all() const { return records.all(); }
    void append(NOLVUDPBUFFER *record) { records.append(record); }
    NOLVUDPBUFFER *takeAt(int i) { return records.takeAt(i); }

    // Whether an incomplete message from source:port got a packet at or
    // after `sinceMs` (monotonic): that sender is still writing to us.
    bool progressing(quint32 source, unsigned short port, int64_t sinceMs) const;

    ReceiveBudget &budget() { return held; }
    const ReceiveBudget &budget() const { return held; }

private:
    BufferTable records{recvBufferKey};
    ReceiveBudget held; // what the records hold
};
