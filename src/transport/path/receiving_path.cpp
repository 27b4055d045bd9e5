#include "transport/path/receiving_path.h"

#include <algorithm>

namespace {
// How long a sender's datagrams may say they hear none of our feedback
// before its losses are asked for with REQUESTs.
constexpr int64_t kUnheardRoundTrips = 8;
constexpr int64_t kMinUnheardUs = 500000;
// A sender's number this far from the newest one received begins a series.
constexpr uint32_t kSeriesReach = 65536;

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
