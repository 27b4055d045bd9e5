#include "transport/rate/feedback_watch.h"

#include <algorithm>

#include "transport/rate/rate_bounds.h"

namespace {
constexpr int64_t kFirstTimeoutUs = 1000000; // before any round trip is known
constexpr int64_t kMinTimeoutUs = 250000;
constexpr int64_t kMaxTimeoutUs = 1000000;
constexpr uint32_t kAskEvery = 16;           // the fewest datagrams between two asks
constexpr uint32_t kFirstFlightAskEvery = 8;
constexpr uint32_t kMinAskEvery = 4;
constexpr uint32_t kMaxProbes = 8;           // datagrams beyond a full window while feedback stays away
} // namespace

void FeedbackWatch::beforeSend(int64_t nowUs, bool nothingInFlight)
{
    if (nothingInFlight)
        timeoutRefUs = nowUs;
}

bool FeedbackWatch::ask(const Sending &s)
{
    ++sinceAsk;
    bool ask = askNext;
    if (!ask && s.firstFlight) {
        ask = s.seq % kFirstFlightAskEvery == 0;
    } else if (!ask && s.growing) {
        // Growing or draining: about two feedbacks a round, so that the
        // queue built is seen in time, though the receiver's own rhythm is
        // slower on a path that holds few datagrams.
        const double half = std::clamp(s.bdp / 2, double(kMinAskEvery), double(kAskEvery));
        ask = sinceAsk >= uint32_t(half);
    } else if (!ask) {
        const uint32_t spacing = std::min(kAskEvery, std::max<uint32_t>(1, s.limit / 2));
        ask = sinceAsk >= spacing && (s.queueEmptyAfter || s.inflight >= s.limit);
    }
    if (ask) {
        sinceAsk = 0;
        askNext = false;
    }
    return ask;
}

void FeedbackWatch::onFeedback(int64_t nowUs)
{
    timeoutRefUs = nowUs;
    timeoutBackoff = 0;
    afterTimeout_ = false;
    probes_ = 0;
}

bool FeedbackWatch::onWake(int64_t nowUs, const Waiting &w)
{
    // A full window and no feedback for two round trips: the feedback that
    // would open it was lost, and the receiver writes none until something
    // new arrives. One more datagram, asking for feedback, every two round
    // trips and a wake-up period; with none measured yet, from two of the
    // hint's (or 3 ms), doubling.
    const int64_t wakeUs = RateBounds::kWakeUs;
    const int64_t rtt = w.srttUs ? w.srttUs : std::max(w.rttHintUs, wakeUs);
    const int64_t probeAfter = (2 * rtt + wakeUs) << (w.srttUs ? 0 : probes_);
    if (!afterTimeout_ && probes_ < kMaxProbes && w.inflight >= w.limit &&
        nowUs - std::max(timeoutRefUs, lastProbeUs) > probeAfter) {
        ++probes_;
        lastProbeUs = nowUs;
        askNext = true;
    }
    // Doubling while the silence lasts, up to a second: a path that comes
    // back is found again within a second, a dead one costs a few datagrams.
    const int64_t base = w.srttUs ? std::max(4 * w.srttUs + 2 * wakeUs, kMinTimeoutUs) : kFirstTimeoutUs;
    const int64_t timeout = std::max(base, std::min(base << std::min(timeoutBackoff, 5), kMaxTimeoutUs));
    if (nowUs - timeoutRefUs <= timeout)
        return false;
    // Silence: what is in flight is taken as lost; start again carefully.
    ++timeouts_;
    timeoutRefUs = nowUs;
    ++timeoutBackoff;
    afterTimeout_ = true;
    askNext = true;
    return true;
}
