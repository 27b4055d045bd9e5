// The work between timer ticks that time makes due, run from one alarm: the
// receiver's requests and loss reports, feedback owed by time, the sender's
// early resends of packet 1, and the writes these queue. Every part arms the
// alarm for its next due work; a pass runs them all and arms it again.
#pragma once

#include <cstdint>
#include <functional>

class Alarm;
class FeedbackGiver;
class Lifetime;
class LossRecovery;
class SendRecords;
class Writer;

class RecoveryPass {
public:
    // `readFirst` reads a turn of the datagrams waiting in the socket, so
    // that a record is quiet only if nothing came, and says whether more
    // still wait.
    RecoveryPass(Alarm &alarm, LossRecovery &recovery, FeedbackGiver &feedback, SendRecords &sends, Writer &writer,
                 Lifetime &life, std::function<bool()> readFirst);

    void run();
    // The timer job over incoming records, then the alarm armed again
    // (records held meanwhile were left out of recovery).
    void expireRecords();

private:
    // The alarm for the earliest work due, not before `notBeforeMs`.
    void rearm(int64_t notBeforeMs = 0);

    Alarm &alarm;
    LossRecovery &recovery;
    FeedbackGiver &feedback;
    SendRecords &sends;
    Writer &writer;
    Lifetime &life;
    std::function<bool()> readFirst;
    bool busy = false;
    int64_t backlogSinceUs = 0; // requests and early resends wait for the socket's backlog since then
};
