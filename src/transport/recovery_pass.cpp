#include "transport/recovery_pass.h"

#include <algorithm>

#include "core/alarm.h"
#include "core/lifetime.h"
#include "platform/clock.h"
#include "transport/receive/feedback_giver.h"
#include "transport/receive/loss_recovery.h"
#include "transport/send/send_records.h"
#include "transport/send/writer.h"

namespace {
constexpr int kWritesAfterPass = 1024;
// While datagrams still wait in the socket after a read turn, what they may
// answer is not asked for again: a server that wrote to a thousand clients
// reads their acknowledgements over dozens of turns, and resent to each
// one whose answer it had not read yet. At most this long, so that a flood
// cannot hold recovery back for good.
constexpr int64_t kMaxBacklogWaitUs = 100000;
constexpr int64_t kBacklogRecheckMs = 1;
} // namespace

RecoveryPass::RecoveryPass(Alarm &alarm, LossRecovery &recovery, FeedbackGiver &feedback, SendRecords &sends,
                           Writer &writer, Lifetime &life, std::function<bool()> readFirst)
    : alarm(alarm), recovery(recovery), feedback(feedback), sends(sends), writer(writer), life(life),
      readFirst(std::move(readFirst))
{
    alarm.setRing([this] { run(); });
}

void RecoveryPass::run()
{
    Lifetime::Entry entry(life);
    if (busy)
        return;
    busy = true;
    const bool backlog = readFirst();
    const int64_t nowUs = platform::monotonicUs();
    if (!backlog)
        backlogSinceUs = 0;
    else if (backlogSinceUs == 0)
        backlogSinceUs = nowUs;
    const bool waitForBacklog = backlog && nowUs - backlogSinceUs < kMaxBacklogWaitUs;
    if (!waitForBacklog)
        recovery.askDue(nowUs);
    feedback.markTimeDue(nowUs);
    feedback.sendDue();
    if (!waitForBacklog)
        sends.resendEarly(nowUs / 1000);
    if (writer.hasQueuedWrites())
        writer.writeWhatIsDue(kWritesAfterPass);
    busy = false;
    rearm(waitForBacklog ? nowUs / 1000 + kBacklogRecheckMs : 0);
}

void RecoveryPass::expireRecords()
{
    recovery.expire();
    rearm();
}

void RecoveryPass::rearm(int64_t notBeforeMs)
{
    int64_t next = 0;
    for (const int64_t due : {recovery.nextDueMs(), sends.nextEarlyResendMs(), feedback.nextDueMs()})
        if (due != 0 && (next == 0 || due < next))
            next = due;
    alarm.arm(next != 0 ? std::max(next, notBeforeMs) : 0);
}
