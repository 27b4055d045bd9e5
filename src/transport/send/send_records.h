// The sends awaiting RECEIVED (sendRecords): one record per message and
// destination, made when a message is handed to its destinations. The timer
// tick resends packet 1 of a record whose destination stays silent, six
// times at most, then gives it up; between ticks packet 1 goes early to a
// destination silent after a message. A record lives while its destination
// progresses.
#pragma once

#include <QList>

#include "transport/retire.h"
#include "transport/send/fan_out_receipts.h"

class Alarm;
class HostBridge;
class OutgoingMessages;
class PathTable;
class PathWriter;
class Writer;
struct SendTarget;

class SendRecords {
public:
    SendRecords(OutgoingMessages &outgoing, PathTable &paths, Writer &writer, PathWriter &pathWriter, Alarm &alarm,
                HostBridge &host, Lifetime &life);
    ~SendRecords();
    SendRecords(const SendRecords &) = delete;
    SendRecords &operator=(const SendRecords &) = delete;

    // A record for each destination, and the message queued to each.
    void sendTo(NOLVUDPBUFFER *buffer, const QList<SendTarget> &destinations);
    SENDRECORD *find(int32_t date, int32_t time, const char *ip, unsigned short port) const
    {
        return records.first(MessageKey(date, time, ip, port));
    }
    const QList<SENDRECORD *> &all() const { return records.all(); }
    // The record a reply names, marked done; null when there is none.
    SENDRECORD *markDone(int32_t date, int32_t time, const char *ip, unsigned short port);

    // Whether packet `index` (1-based) of `buffer` is owed to address:port
    // (ip its text): sent there, with a send record to it not yet settled
    // (`record`).
    enum class Answer { Queued, NotHeld, NotReceiver, NotOwed, NotWrittenYet, AnsweredLately };
    Answer owedTo(quint32 address, const char *ip, unsigned short port, int32_t date, int32_t time, int index,
                  const NOLVUDPBUFFER *buffer, SENDRECORD *&record) const;

    // The timer job: resends and retiring.
    void tick();
    // All of the record's message has been written to its destination.
    void noteWritten(SENDRECORD *record);
    // Its destination acknowledged the message, or asked for a packet of it.
    void noteHeard(SENDRECORD *record, bool acknowledged);
    // Early resends due by nowMs; and when the next one is due (0: none).
    void resendEarly(int64_t nowMs);
    int64_t nextEarlyResendMs() const;

private:
    bool heardSince(const SENDRECORD *record, int64_t sinceUs) const;
    int64_t earlyResendDue(const SENDRECORD *record) const;
    void resendEarly(SENDRECORD *record);
    bool retireIfDone(int i);
    QString logKey(const SENDRECORD *record) const;

    OutgoingMessages &outgoing;
    PathTable &paths;
    Writer &writer;
    PathWriter &pathWriter;
    Alarm &alarm;
    HostBridge &host;
    Lifetime &life;
    SendRecordTable records{sendRecordKey};
    int64_t lastTickUs = 0; // when the timer job last ran
    int64_t ackDelayMs = 0; // smoothed delay from the last write of a message to its RECEIVED
    FanOutReceipts fanOut;  // when the destinations of a message to many answered
};
