// Loss recovery of the receiver, between timer ticks, and the expiry of
// incoming records on the tick. The receiver asks for the missing packets of
// an incomplete message as soon as the gaps are evident and again until the
// message is complete or expires: a sender that marks its datagrams gets
// them as ranges in FEEDBACK, once they are older than the path's
// reordering window, any other a REQUEST per packet, paced like a buffer's
// packets.
#pragma once

#include <QList>
#include <QtGlobal>

#include "transport/receive/loss_asker.h"

class Alarm;
class ControlSender;
class FeedbackGiver;
class IncomingRecords;
class Lifetime;
class PathTable;

class LossRecovery {
public:
    LossRecovery(IncomingRecords &records, PathTable &paths, LossAsker asker, FeedbackGiver &feedback,
                 ControlSender &controls, Alarm &alarm, LocalIdentity &self, HostBridge &host, Lifetime &life);

    // A packet filled a slot of the record (1-based index; its transmission
    // number, 0 for an unnumbered one).
    void noteArrival(NOLVUDPBUFFER *record, int index, uint32_t txn);
    // A packet came that the record already had.
    void noteDuplicate(const NOLVUDPBUFFER *record, int index);
    // Packet 1 (or the last, from one of our units) came again for the
    // incomplete record: its sender has written it all.
    void noteSenderDone(NOLVUDPBUFFER *record);
    // Whether the record's sender takes ranges in FEEDBACK.
    bool reportsLoss(const NOLVUDPBUFFER *record) const;

    // Asks the senders of the records that are due.
    void askDue(int64_t nowUs);
    // When the next record is due (ms; 0: none).
    int64_t nextDueMs() const;
    // The timer job: expires records that stopped progressing, and sends
    // DATAFAIL for those about to when many are held.
    void expire();

private:
    struct PassState; // what one pass has asked so far
    void noteReordering(NOLVUDPBUFFER *record, int index, uint32_t txn);
    int64_t recoveryDue(const NOLVUDPBUFFER *record) const;
    QList<NOLVUDPBUFFER *> dueRecords(int64_t nowMs);
    int askReports(NOLVUDPBUFFER *record, PeerPath *path, int64_t nowUs, PassState &state);

    IncomingRecords &records;
    PathTable &paths;
    LossAsker asker;
    FeedbackGiver &feedback;
    ControlSender &controls;
    Alarm &alarm;
    LocalIdentity &self;
    HostBridge &host;
    Lifetime &life;
    int64_t answerDelayMs = 0; // smoothed delay from a request round to its first answer
    uint64_t passTurn = 0;     // where the next pass starts
};
