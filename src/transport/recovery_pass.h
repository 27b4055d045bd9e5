// The work between timer ticks that time makes due, run from one alarm: the
// receiver's requests and loss reports, feedback owed by time, the sender's
// early resends of packet 1, and the writes these queue. Every part arms the
// alarm for its next due work; a pass runs them all and arms it again.
#pragma once

#include <functional>

class Alarm;
class FeedbackGiver;
class Lifetime;
class LossRecovery;
class SendRecords;
class Writer;

class RecoveryPass {
public:
    // `readFirst` reads the datagrams waiting in the socket, so that a
    // record is quiet only if nothing came.
    RecoveryPass(Alarm &alarm, LossRecovery &recovery, FeedbackGiver &feedback, SendRecords &sends, Writer &writer,
                 Lifetime &life, std::function<void()> readFirst);

    void run();
    // The timer job over incoming records, then the alarm armed again
    // (records held meanwhile were left out of recovery).
    void expireRecords();

private:
    void rearm();

    Alarm &alarm;
    LossRecovery &recovery;
    FeedbackGiver &feedback;
    SendRecords &sends;
    Writer &writer;
    Lifetime &life;
    std::function<void()> readFirst;
    bool busy = false;
};
