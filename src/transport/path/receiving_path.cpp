#include "transport/path/receiving_path.h"

#include <algorithm>

namespace {
// How long a sender's datagrams may say they hear none of our feedback
// before its losses are asked for with REQUESTs.
constexpr int64_t kUnheardRoundTrips = 8;
constexpr int64_t kMinUnheardUs = 500000;
// A sender's number this far from the newest one received begins a series.
constexpr uint32_t kSeriesReach = 65536;

// The reordering window: a fraction of the sender's round trip (its smoothed
// one, from the hint), at least kMinReorderUs, doubled per widening up to
// the round trip.
constexpr int64_t kMinReorderUs = 2000;
constexpr int64_t kReorderRttDivisor = 8;
constexpr int64_t kDefaultReorderRttMs = 20; // a sender that gives no hint
constexpr int kMaxReorderSteps = 4;
constexpr int kNarrowAfter = 16;

bool near(uint32_t a, uint32_t b) { return a - b + kSeriesReach < 2 * kSeriesReach; }
} // namespace

bool ReceivingPath::feedbackUnheard(int64_t nowUs) const
{
    const int64_t rttUs = std::max<int64_t>(senderRttMs, 1) * 1000;
    return unheardSinceUs != 0 && nowUs - unheardSinceUs > std::max(kUnheardRoundTrips * rttUs, kMinUnheardUs);
}

bool ReceivingPath::noteNumbered(const mark::Mark &mark, int64_t nowUs)
{
    // A number far from the newest one, or the new-series flag after the
    // series had dropped it, is a sender that numbers afresh (a new path, a
    // restarted unit): count from here, so that its first feedback names a
    // number of its own.
    const bool flagged = mark.flags & mark::NewSeries;
    const bool fresh = received == 0 || !near(mark.txn, newestReceivedTxn) || (flagged && seriesSettled);
    if (fresh) {
        received = 0;
        sinceFeedback = 0;
        unheardSinceUs = 0;
        seriesSettled = false;
    }
    if (fresh || int32_t(mark.txn - newestReceivedTxn) > 0) {
        newestReceivedTxn = mark.txn;
        newestAtUs = nowUs;
    }
    if (!flagged)
        seriesSettled = true;
    if (mark.flags & mark::HearsFeedback)
        unheardSinceUs = 0;
    ++received;
    numberedSeenUs = nowUs;
    senderRttMs = mark.rttHintMs;
    return fresh;
}

int64_t ReceivingPath::reorderWindowUs() const
{
    const int64_t rttUs = senderRttOr(kDefaultReorderRttMs) * 1000;
    const int64_t base = std::max(kMinReorderUs, rttUs / kReorderRttDivisor);
    return std::min(base << reorderSteps, std::max(base, rttUs));
}

void ReceivingPath::noteLate(int64_t nowUs)
{
    // At most one widening a round trip: the late packets of one episode
    // all come within it.
    trulyLostSinceLate = 0;
    if (widenedAtUs != 0 && nowUs - widenedAtUs < senderRttOr(kDefaultReorderRttMs) * 1000)
        return;
    widenedAtUs = nowUs;
    reorderSteps = std::min(reorderSteps + 1, kMaxReorderSteps);
}

void ReceivingPath::noteTrulyLost()
{
    if (reorderSteps > 0 && ++trulyLostSinceLate >= kNarrowAfter) {
        --reorderSteps;
        trulyLostSinceLate = 0;
    }
}
