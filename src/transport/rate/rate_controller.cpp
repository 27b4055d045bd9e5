#include "transport/rate/rate_controller.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr uint32_t kFeedbackEvery = 32; // the receiver's own rhythm
constexpr int64_t kWakeUs = RateBounds::kWakeUs;
// A round whose smallest round trip stands this far above the minimum shows
// congestion: the uplink's even share no longer lifts the path.
constexpr int64_t kShareQueueUs = RateBounds::kDelayCeilingUs / 2;
// The even share lifts a path at most to twice its own estimate a round, so
// that a path with a bottleneck of its own overshoots it by one round at most.
constexpr double kShareLift = 2;
// A path that the even share lifted into congestion has a bottleneck of its
// own: the share leaves it alone for 2 s, twice as long each time again.
constexpr int64_t kShareBlockUs = 2000000;
constexpr uint64_t kMaxShareBlocks = 5;
// A minimum round trip this far above the lowest the path had is a standing
// queue that is not ours.
constexpr int64_t kForeignQueueUs = RateBounds::kDelayCeilingUs / 2;
// A path counts as active on the uplink for a few of its round trips.
constexpr int64_t kMinFreshUs = 100000, kMaxFreshUs = 3000000;
// A path that holds this many first windows is long: start-up by doubling
// would take more than three round trips to fill it.
constexpr double kLongPathWindows = 8;
} // namespace

RateController::RateController(int64_t nowUs, uint32_t firstTxn, SharedUplink *uplink)
    : estimator(nowUs, firstTxn), states(uint32_t(uint64_t(nowUs) * 2654435761u) ^ firstTxn), watch(nowUs),
      uplink(uplink), uplinkId(uplink ? uplink->join() : 0)
{
}

double RateController::ownEstimate() const
{
    const double rate = estimator.rate();
    return rate > 0 ? std::max(kMinRate, std::min(rate, lossJudge.cap())) : 0;
}

double RateController::estimate() const
{
    const double own = ownEstimate();
    return own > 0 ? std::max(own, floor) : 0;
}

double RateController::bdp() const
{
    return estimate() * double(estimator.pathRttUs()) / 1e6;
}

double RateController::feedbackAllowance() const
{
    // What arrives while the next feedback is on its way: the receiver
    // writes one every 32 datagrams or two round trips, and the sender sees
    // it at its next wake-up at the latest (in Startup that is left out:
    // feedback wakes the sender, and a LAN switch's shallow queue would
    // otherwise overflow).
    const double rate = estimate();
    const int64_t srtt = estimator.srttUs();
    const double wake = states.state() == State::Startup ? 0 : rate * kWakeUs / 1e6;
    // Where feedback is lost at random, what is written until a lost one is
    // noticed (two round trips and a wake-up period): else every lost
    // feedback stalls the sender, and the stalls hold the rate down.
    const double lostFeedback = lossJudge.randomLoss() > 0 ? rate * double(2 * srtt + kWakeUs) / 1e6 : 0;
    return std::min(double(kFeedbackEvery), 2 * rate * double(srtt) / 1e6) + wake + lostFeedback + 2;
}

double RateController::drainTarget() const
{
    // Right after feedback, what is in flight is what the path holds plus
    // what arrived while the receiver held that feedback: beyond that, a queue.
    return bdp() + estimate() * double(estimator.lastHoldUs()) / 1e6 + 2;
}

double RateController::pacingRate() const
{
    double rate = estimate();
    if (rate <= 0) {
        // Nothing measured yet: the first window at once (its spacing on
        // arrival shows the bottleneck's rate), or over the round trip
        // measured.
        const int64_t rtt = estimator.srttUs() ? estimator.srttUs() : kWakeUs;
        rate = kInitialWindow * 1e6 / double(std::max<int64_t>(rtt, 1));
    }
    // Probing adds a step where neither loss, nor other paths of this uplink,
    // nor a loss-based flow's standing queue (taken as the minimum) sets the
    // rate: flows of ours sharing a queue then converge to even shares.
    const bool ownRate = !std::isfinite(lossJudge.cap()) && !uplinkShared &&
                         estimator.minRttUs() <= lowestMinRttUs + kForeignQueueUs;
    const double step = ownRate ? states.probeStep(rate, estimator.minRttUs()) : 0;
    return std::clamp(states.pacingGain() * rate + step, kMinRate, kMaxRate);
}

uint32_t RateController::inflightLimit() const
{
    double limit;
    if (watch.afterTimeout())
        limit = kMinInflight;
    else if (estimate() <= 0)
        limit = kInitialWindow;
    else
        limit = states.inflightTarget(bdp(), feedbackAllowance());
    return uint32_t(std::clamp(limit + watch.probes(), double(kMinInflight), double(kRecords - 1)));
}

RateController::Counters RateController::counters() const
{
    Counters c;
    c.feedbackIgnored = estimator.feedbackIgnored();
    c.delayBackoffs = delayJudge.backoffs();
    c.standingQueuesAccepted = delayJudge.standingQueuesAccepted();
    c.lossyPeriods = lossJudge.lossySpans();
    c.randomLossFound = lossJudge.randomLossFound();
    c.cutsUndone = lossJudge.cutsUndone();
    c.timeouts = watch.timeouts();
    c.shareBlocks = shareBlocks;
    return c;
}

uint32_t RateController::onSent(int64_t nowUs, bool queueEmptyAfter, bool *askFeedback)
{
    watch.beforeSend(nowUs, inflight() == 0);
    const uint64_t seq = estimator.onSent(nowUs, queueEmptyAfter);
    const State state = states.state();
    const bool ask = watch.ask({seq, estimator.firstFlight(), state == State::Startup || state == State::Drain,
                                queueEmptyAfter, bdp(), inflight(), inflightLimit()});
    if (askFeedback)
        *askFeedback = ask;
    return estimator.txnOf(seq);
}

void RateController::onFeedback(int64_t nowUs, uint32_t newestTxn, int64_t holdUs, uint32_t receivedCount)
{
    const bool rateKnown = estimator.rate() > 0;
    const RateEstimator::Report report = estimator.onFeedback(nowUs, newestTxn, holdUs, receivedCount,
                                                              lossJudge.randomLoss(), state() == State::Startup);
    // Feedback that names nothing newer (a loss report or another word
    // repeating what the receiver named before) says nothing of what is in
    // flight: the watch goes on waiting, else a full window whose feedback
    // was lost waits for as long as the receiver repeats itself, and the
    // packets it asks for wait behind that window.
    if (!report.accepted || report.advance == 0)
        return; // nothing newer: no sample
    if (report.bottleneckSample && report.newest <= kInitialWindow &&
        bdp() >= kLongPathWindows * kInitialWindow)
        states.startGently();
    watch.onFeedback(nowUs);
    lossJudge.onReport(report.newest, estimator.lostEstimate());
    if (report.rttUs != 0) {
        lossJudge.onRttSample(report.rttUs);
        if (lowestMinRttUs == 0 || estimator.minRttUs() < lowestMinRttUs)
            lowestMinRttUs = estimator.minRttUs();
        // Start-up builds the only queue it sees.
        if (delayJudge.onRttSample(report.rttUs, estimator.minRttUs()) && state() == State::Startup && rateKnown)
            states.queueFull();
        if (report.minRttExpired)
            states.minRttExpired();
    }
    if (report.roundEnded)
        endRound(nowUs, report.roundAppLimited);
    const RateStateMachine::Flight flight{inflight(), drainTarget(), inflightLimit(), estimator.minRttUs(),
                                          estimator.roundCount()};
    if (states.advance(nowUs, flight))
        estimator.renewMinRtt(nowUs);
}

void RateController::endRound(int64_t nowUs, bool appLimited)
{
    const bool lifted = floor > ownEstimate();
    const RateEstimator::Round round = estimator.endRound(appLimited);
    const LossJudge::Verdict loss = lossJudge.endRound(
        nowUs, {round.count, estimator.sent(), estimator.rate(), estimator.minRttUs(), state() == State::Startup});
    if (loss.restartRate > 0)
        estimator.restartRate(loss.restartRate);
    if (loss.queueFull)
        states.queueFull();
    if (loss.cut)
        states.lossCut(nowUs);

    const double rate = estimator.rate();
    const DelayJudge::Verdict delay = delayJudge.endRound({round.count, round.minRttUs, round.maxRate,
                                                           estimator.minRttUs(), rate, state() == State::Startup,
                                                           state() == State::ProbeBandwidth});
    if (delay.kind == DelayJudge::Verdict::QueueFull)
        states.queueFull();
    else if (delay.kind == DelayJudge::Verdict::BackOff)
        states.backOff();
    else if (delay.kind == DelayJudge::Verdict::QueueAccepted)
        estimator.setMinRtt(delay.minRttUs, nowUs);
    // Start-up's growth is judged on the rate before the delay's verdict;
    // a drain that a back-off just began counts this round.
    states.endRound(appLimited, rate);
    if (delay.restartRate > 0)
        estimator.restartRate(delay.restartRate);
    if (uplink)
        shareRound(nowUs, round, appLimited, lifted);
}

void RateController::shareRound(int64_t nowUs, const RateEstimator::Round &round, bool appLimited, bool lifted)
{
    const int64_t minRtt = estimator.minRttUs();
    const int64_t queueUs = round.minRttUs != 0 && minRtt != 0 ? std::max<int64_t>(0, round.minRttUs - minRtt) : 0;
    if (!appLimited && round.maxRate > 0) {
        const int64_t freshUs = std::clamp(4 * estimator.srttUs(), kMinFreshUs, kMaxFreshUs);
        uplink->delivered(uplinkId, {round.maxRate, queueUs, nowUs + freshUs}, nowUs);
    }
    // Congestion of its own: loss, or a queue that the uplink's other paths
    // do not see (theirs is the uplink's, which their rates answer for).
    const SharedUplink::Share share = uplink->evenShare(uplinkId, nowUs);
    const bool congested = std::isfinite(lossJudge.cap()) || queueUs - share.othersQueueUs > kShareQueueUs;
    if (congested && lifted) {
        floorBlockedUntilUs = nowUs + (kShareBlockUs << std::min(shareBlocks, kMaxShareBlocks));
        ++shareBlocks;
    }
    uplinkShared = share.rate > 0;
    floor = 0;
    if (!congested && nowUs >= floorBlockedUntilUs && estimator.rate() > 0)
        floor = std::min({share.rate, kShareLift * ownEstimate(), kMaxRate});
}

void RateController::onWake(int64_t nowUs)
{
    states.onWake(nowUs, estimator.minRttUs());
    if (inflight() == 0)
        return;
    const FeedbackWatch::Waiting waiting{inflight(), inflightLimit(), estimator.srttUs(), estimator.rttHintUs()};
    if (!watch.onWake(nowUs, waiting))
        return;
    estimator.presumeLost();
    if (watch.timeoutsInRow() == 1)
        lossJudge.onTimeout(estimator.rate()); // the rate halves once
}
