#include "transport/recovery_pass.h"

#include "core/alarm.h"
#include "core/lifetime.h"
#include "platform/clock.h"
#include "transport/receive/feedback_giver.h"
#include "transport/receive/loss_recovery.h"
#include "transport/send/send_records.h"
#include "transport/send/writer.h"

namespace {
constexpr int kWritesAfterPass = 1024;
} // namespace

RecoveryPass::RecoveryPass(Alarm &alarm, LossRecovery &recovery, FeedbackGiver &feedback, SendRecords &sends,
                           Writer &writer, Lifetime &life, std::function<void()> readFirst)
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
    readFirst();
    const int64_t nowUs = platform::monotonicUs();
    recovery.askDue(nowUs);
    feedback.markTimeDue(nowUs);
    feedback.sendDue();
    sends.resendEarly(nowUs / 1000);
    if (writer.hasQueuedWrites())
        writer.writeWhatIsDue(kWritesAfterPass);
    busy = false;
    rearm();
}

void RecoveryPass::expireRecords()
{
    recovery.expire();
    rearm();
}

void RecoveryPass::rearm()
{
    int64_t next = 0;
    for (const int64_t due : {recovery.nextDueMs(), sends.nextEarlyResendMs(), feedback.nextDueMs()})
        if (due != 0 && (next == 0 || due < next))
            next = due;
    alarm.arm(next);
}
