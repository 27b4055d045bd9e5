#include "transport/rate/rate_controller.h"

#include <algorithm>
#include <cmath>

namespace {
constexpr double kStartupGain = 2.885; // 2 / ln 2: doubles the delivery rate each round
constexpr double kCwndGain = 2;
constexpr double kProbeGains[8] = {1.25, 0.75, 1, 1, 1, 1, 1, 1};
constexpr double kBackoffGain = 0.75;
constexpr int64_t kMinRttWindowUs = 10000000;
constexpr int64_t kProbeRttUs = 200000;
constexpr int64_t kMinPhaseUs = 2000;
constexpr int64_t kWakeUs = 1000;             // the sender's wake-up period
constexpr int64_t kFirstTimeoutUs = 1000000;  // before any round trip is known
constexpr int64_t kMinTimeoutUs = 250000;
constexpr int64_t kMaxTimeoutUs = 1000000;
constexpr uint32_t kFeedbackEvery = 32;       // the receiver's own rhythm
constexpr uint32_t kAskEvery = 16;            // the fewest datagrams between two asks
constexpr uint32_t kFirstFlightAskEvery = 8;
constexpr uint32_t kMinAskEvery = 4;
constexpr uint32_t kMaxProbes = 8;            // datagrams beyond a full window while feedback stays away
constexpr uint64_t kLossSpan = 48;            // reported datagrams per loss judgement
constexpr uint64_t kLossMinLost = 3;
constexpr double kLossThreshold = 0.02;
constexpr double kLossCut = 0.7;
constexpr double kLossRegrow = 0.1;            // the cap's growth per clean span
constexpr int64_t kLossRegrowFasterUs = 1000000; // clean for this long: the growth doubles span by span
constexpr uint64_t kVerifySpan = 192;         // datagrams sent after a cut, to tell random loss
constexpr int64_t kVerifyMaxUs = 5000000;     // then a cut whose datagrams never came stands
constexpr int kMaxDeeperCuts = 3;             // while a cut is judged
constexpr double kLossMargin = 0.01;          // above the random loss: what a cut must remove
constexpr double kMaxRandomLoss = 0.5;
constexpr int64_t kStandingQueueUs = 2000;    // and a quarter of the min round trip
constexpr double kRandomLossWeight = 1.0 / 8; // of a span's ratio in the random loss's average
constexpr double kFullRateGrowth = 1.25;
constexpr int kFullRateRounds = 3;
constexpr int kFutileBackoffs = 2;
constexpr uint64_t kMaxDrainRounds = 3;
constexpr uint64_t kMinSampleCount = 2;       // delivered datagrams for a rate sample
} // namespace

RateController::RateController(int64_t nowUs, uint32_t firstTxn) : firstTxn(firstTxn)
{
    // The origin: nothing delivered, as of the first send (set there).
    feedback[0] = FeedbackRecord{0, nowUs, 0, 0, nowUs, true};
    timeoutRefUs = nowUs;
    seed = uint32_t(uint64_t(nowUs) * 2654435761u) ^ firstTxn;
}

double RateController::estimate() const
{
    if (maxRate.empty())
        return 0;
    return std::max(kMinRate, std::min(maxRate.best(), lossCap));
}

double RateController::bottleneckRate() const
{
    return estimate();
}

double RateController::bdp() const
{
    const int64_t rtt = minRttUs_ ? minRttUs_ : (srttUs ? srttUs : rttHintUs);
    return estimate() * double(rtt) / 1e6;
}

double RateController::feedbackAllowance() const
{
    // What arrives while the next feedback is on its way: the receiver
    // writes one every 32 datagrams or two round trips, and the sender sees
    // it at its next wake-up at the latest.
    const double rate = estimate();
    const double wake = state_ == State::Startup ? 0 : rate * kWakeUs / 1e6;
    // Where feedback is lost at random, what is written until a lost one is
    // noticed (two round trips and a wake-up period): else every lost
    // feedback stalls the sender, and the stalls hold the rate down.
    const double lostFeedback = randomLoss_ > 0 ? rate * double(2 * srttUs + kWakeUs) / 1e6 : 0;
    return std::min(double(kFeedbackEvery), 2 * rate * double(srttUs) / 1e6) + wake + lostFeedback + 2;
}

double RateController::drainTarget() const
{
    // Right after feedback, what is in flight is what the path holds plus
    // what arrived while the receiver held that feedback: beyond that, a queue.
    return bdp() + estimate() * double(lastHoldUs) / 1e6 + 2;
}

double RateController::pacingRate() const
{
    double gain = 1;
    switch (state_) {
    case State::Startup: gain = kStartupGain; break;
    case State::Drain: gain = drainGain; break;
    case State::ProbeBandwidth: gain = kProbeGains[phase]; break;
    case State::ProbeRtt: gain = 1; break;
    }
    double rate = estimate();
    if (rate <= 0) {
        // Nothing measured yet: the first window over the best round trip known.
        const int64_t rtt = srttUs ? srttUs : (rttHintUs ? rttHintUs : kWakeUs);
        rate = kInitialWindow * 1e6 / double(std::max<int64_t>(rtt, 1));
    }
    return std::clamp(gain * rate, kMinRate, kMaxRate);
}

uint32_t RateController::inflightLimit() const
{
    double limit;
    if (afterTimeout)
        limit = kMinInflight;
    else if (estimate() <= 0)
        limit = kInitialWindow;
    else if (state_ == State::ProbeRtt)
        limit = 0.5 * bdp();
    else
        limit = kCwndGain * bdp() + feedbackAllowance();
    return uint32_t(std::clamp(limit + probes, double(kMinInflight), double(kRecords - 1)));
}

uint32_t RateController::inflight() const
{
    const uint64_t acked = std::max(newest, presumedLostUpTo);
    return uint32_t(std::min<uint64_t>(sent - acked, UINT32_MAX));
}

void RateController::setRttHint(int64_t us)
{
    if (us > 0 && us <= 60000000)
        rttHintUs = us;
}

void RateController::growRecords()
{
    if (records.size() >= kRecords)
        return;
    // The records of what may still be reported move to their places in
    // the larger ring.
    std::vector<SendRecord> larger(records.size() * 2);
    const uint64_t first = sent >= records.size() ? sent - records.size() + 1 : 1;
    for (uint64_t seq = first; seq <= sent; ++seq)
        larger[seq % larger.size()] = records[seq % records.size()];
    records.swap(larger);
}

uint32_t RateController::onSent(int64_t nowUs, bool queueEmptyAfter, bool *askFeedback)
{
    if (inflight() == 0)
        timeoutRefUs = nowUs; // the timeout counts from the first datagram in flight
    if (inflight() + kFirstRecords / 4 >= records.size())
        growRecords();
    const uint64_t seq = ++sent;
    if (seq == 1)
        feedback[0].arrivalUs = feedback[0].newestSentUs = nowUs;
    SendRecord &r = records[seq % records.size()];
    r.sentUs = nowUs;
    r.feedbackSeq = uint32_t(feedbackSeq);
    // A datagram written before the end of the last idle spell was reported
    // carries that spell inside its rate sample.
    r.appLimited = queueEmptyAfter || newest < appLimitedUpTo;
    if (queueEmptyAfter)
        appLimitedUpTo = seq;

    ++sinceAsk;
    bool ask = askNext;
    if (!ask && feedbackSeq == 0) {
        ask = seq % kFirstFlightAskEvery == 0;
    } else if (!ask && (state_ == State::Startup || state_ == State::Drain)) {
        // Growing or draining: about two feedbacks a round, so that the
        // queue built is seen in time, though the receiver's own rhythm is
        // slower on a path that holds few datagrams.
        const double half = std::clamp(bdp() / 2, double(kMinAskEvery), double(kAskEvery));
        ask = sinceAsk >= uint32_t(half);
    } else if (!ask) {
        const uint32_t limit = inflightLimit();
        const uint32_t spacing = std::min(kAskEvery, std::max<uint32_t>(1, limit / 2));
        ask = sinceAsk >= spacing && (queueEmptyAfter || inflight() >= limit);
    }
    if (ask) {
        sinceAsk = 0;
        askNext = false;
    }
    if (askFeedback)
        *askFeedback = ask;
    return txnOf(seq);
}

const RateController::FeedbackRecord *RateController::feedbackAt(uint32_t seq) const
{
    const FeedbackRecord &f = feedback[seq % kFeedbackSlots];
    return f.valid && uint32_t(f.seq) == seq ? &f : nullptr;
}

void RateController::countDelivered(uint32_t receivedCount, uint64_t advance)
{
    const uint32_t step = receivedCount - lastCount;
    lastCount = receivedCount;
    // A count that went backwards tells nothing: it is the base from now on,
    // and the newly reported datagrams are taken as arrived, not as lost.
    // The receiver cannot have more than the txns written since the last
    // newest, nor more than every txn up to the newest.
    const uint64_t added = step > 0x7fffffffu ? advance : std::min<uint64_t>(step, advance);
    delivered = std::min<uint64_t>(delivered + added, newest);
}

void RateController::onFeedback(int64_t nowUs, uint32_t newestTxn, int64_t holdUs, uint32_t receivedCount)
{
    // Which of our datagrams it names: one written, and not before the first.
    const uint32_t back = txnOf(sent) - newestTxn;
    if (sent == 0 || back >= sent) {
        ++counters_.feedbackIgnored;
        return;
    }
    const uint64_t n = sent - back;
    if (n < newest) {
        ++counters_.feedbackIgnored; // overtaken by newer feedback
        return;
    }
    const bool first = lastFeedbackUs_ == 0;
    const uint64_t advance = n - newest;
    newest = n;
    if (first) {
        lastCount = receivedCount;
        delivered = std::min<uint64_t>(receivedCount, newest);
    } else {
        countDelivered(receivedCount, advance);
    }
    lastFeedbackUs_ = std::max<int64_t>(nowUs, 1);
    timeoutRefUs = nowUs;
    timeoutBackoff = 0;
    afterTimeout = false;
    probes = 0;
    if (advance == 0)
        return; // nothing newer: no sample

    // Loss accounting over the reported txns.
    lossReported += n - lossMark;
    const uint64_t lost = newest - delivered;
    const uint64_t newlyLost = lost > lostMark ? lost - lostMark : 0;
    lossLost += newlyLost;
    lostMark = lost;
    if (verifying == Verify::Counting && n > verifyFrom) {
        verifyReported += n - std::max(lossMark, verifyFrom);
        verifyLost += newlyLost;
    }
    lossMark = n;

    // The send record gives the round trip and the rate; a hold time longer
    // than the datagram has been out is false, and yields neither.
    const SendRecord *r = sent - n < records.size() ? &records[n % records.size()] : nullptr;
    const int64_t elapsed = r ? nowUs - r->sentUs : -1;
    if (r && holdUs >= 0 && holdUs <= elapsed) {
        lastHoldUs = holdUs;
        takeRttSample(nowUs, std::max<int64_t>(kMinRttUs, elapsed - holdUs));
        const FeedbackRecord latest{++feedbackSeq, nowUs - holdUs, delivered, newest, r->sentUs, true};
        feedback[latest.seq % kFeedbackSlots] = latest;
        if (const FeedbackRecord *before = feedbackAt(r->feedbackSeq))
            takeRateSample(latest, *before, r->appLimited);
        // In start-up, also from the first feedback after it was written:
        // a shorter span, but it catches the bottleneck's spacing a round
        // earlier.
        if (state_ == State::Startup && uint32_t(latest.seq) - r->feedbackSeq > 1)
            if (const FeedbackRecord *next = feedbackAt(r->feedbackSeq + 1u))
                takeRateSample(latest, *next, r->appLimited);
    } else {
        // Counts only, and a feedback no later sample may start from.
        ++feedbackSeq;
        feedback[feedbackSeq % kFeedbackSlots] = FeedbackRecord{feedbackSeq, 0, 0, 0, 0, false};
    }
    if (n >= roundEnd)
        endRound(nowUs, !r || r->appLimited);
    advanceState(nowUs);
}

void RateController::takeRttSample(int64_t nowUs, int64_t rttUs)
{
    srttUs = srttUs == 0 ? rttUs : (7 * srttUs + rttUs) / 8;
    const bool expired = minRttUs_ != 0 && nowUs - minRttStampUs > kMinRttWindowUs;
    if (minRttUs_ == 0 || rttUs <= minRttUs_ || expired) {
        minRttUs_ = rttUs;
        minRttStampUs = nowUs;
    }
    roundMinRttUs = roundMinRttUs ? std::min(roundMinRttUs, rttUs) : rttUs;
    if (verifying == Verify::Counting) {
        verifyMaxRttUs = std::max(verifyMaxRttUs, rttUs);
        verifyMinRttUs = verifyMinRttUs ? std::min(verifyMinRttUs, rttUs) : rttUs;
    }
    // Start-up builds the only queue it sees: two samples in a row above the
    // ceiling end it (one may be jitter).
    highRttSamples = rttUs - minRttUs_ > kDelayCeilingUs ? highRttSamples + 1 : 0;
    if (state_ == State::Startup && !maxRate.empty() && highRttSamples >= 2)
        fullRateReached = true;
    if (expired && state_ != State::ProbeRtt && state_ != State::Startup) {
        state_ = State::ProbeRtt;
        probeRttDoneUs = 0;
    }
}

void RateController::takeRateSample(const FeedbackRecord &now, const FeedbackRecord &before, bool appLimited)
{
    if (now.delivered < before.delivered + kMinSampleCount)
        return;
    const int64_t span = std::max(now.arrivalUs - before.arrivalUs, now.newestSentUs - before.newestSentUs);
    if (span <= 0)
        return;
    // What the path carried of what was sent: what arrived, and what random
    // loss took of it, but never more than was reported in the span (the
    // count of arrivals varies by chance; the best of such counts would
    // read above the path).
    const double carried = std::min(double(now.newest - before.newest),
                                    double(now.delivered - before.delivered) / (1 - randomLoss_));
    const double rate = std::min(kMaxRate, carried * 1e6 / double(span));
    roundMaxRate = std::max(roundMaxRate, rate);
    // A sample from a spell without data to send only ever raises the estimate.
    if (appLimited && !maxRate.empty() && rate < maxRate.best())
        return;
    maxRate.update(rate, int64_t(fullRounds));
}

void RateController::endRound(int64_t nowUs, bool appLimited)
{
    ++roundCount;
    roundEnd = sent + 1;
    // The rate estimate ages only in rounds that had data to send: after an
    // idle or sparse spell it is still there.
    if (!appLimited)
        ++fullRounds;

    judgeLoss(nowUs);
    if (verifying == Verify::Waiting && roundCount >= verifyRound) {
        // What was written before the cut took hold is out: count from here.
        verifying = Verify::Counting;
        verifyFrom = sent;
        verifyReported = verifyLost = 0;
        verifyMaxRttUs = verifyMinRttUs = 0;
    }
    if (state_ == State::Startup && !appLimited && !maxRate.empty()) {
        if (maxRate.best() >= fullRate * kFullRateGrowth) {
            fullRate = maxRate.best();
            fullRateRounds = 0;
        } else if (++fullRateRounds >= kFullRateRounds) {
            fullRateReached = true;
        }
    }
    judgeDelay(nowUs);
    if (state_ == State::Drain)
        ++drainRounds;
    roundMinRttUs = 0;
    roundMaxRate = 0;
}

bool RateController::beyond(uint64_t lost, uint64_t reported, double expected, double margin)
{
    // More lost than a loss ratio of `expected` explains: its mean, two
    // standard deviations, and the margin.
    const double n = double(reported), p = std::clamp(expected, 0.0, 1.0);
    return lost >= kLossMinLost && double(lost) > n * (p + margin) + 2 * std::sqrt(n * p * (1 - p));
}

void RateController::judgeLoss(int64_t nowUs)
{
    // After the deepest cut, loss as high as a lossy span's needs no more
    // than a span to be judged: the rate cannot go lower meanwhile.
    const bool deepest = deeperCuts >= kMaxDeeperCuts && verifyReported >= kLossSpan &&
                         beyond(verifyLost, verifyReported, randomLoss_, kLossThreshold);
    if (verifying == Verify::Counting && (verifyReported >= kVerifySpan || deepest))
        judgeCut();
    else if (verifying != Verify::None && nowUs - cutUs > kVerifyMaxUs)
        verifying = Verify::None; // too little sent since: the cut stands
    if (lossReported < kLossSpan)
        return;
    const bool lossy = beyond(lossLost, lossReported, randomLoss_, kLossThreshold);
    const double ratio = double(lossLost) / double(lossReported);
    lossReported = lossLost = 0;
    if (!lossy) {
        if (randomLoss_ > 0)
            randomLoss_ = std::min(kMaxRandomLoss, randomLoss_ + kRandomLossWeight * (ratio - randomLoss_));
        if (std::isfinite(lossCap)) {
            // By a tenth a clean span; once the cap has been clean for a
            // second, faster and faster: a burst of loss that cut it deep (a
            // receiver that stalled) is not paid for with minutes at a crawl,
            // and a path is not overrun again a few spans after a cut.
            if (cleanSinceUs == 0)
                cleanSinceUs = nowUs;
            const int faster = nowUs - cleanSinceUs >= kLossRegrowFasterUs ? std::min(++fasterSpans, 6) : 0;
            lossCap *= 1 + kLossRegrow * double(1 << faster);
            if (!maxRate.empty() && lossCap > maxRate.best())
                lossCap = std::numeric_limits<double>::infinity();
        }
        return;
    }
    cleanSinceUs = 0;
    fasterSpans = 0;
    ++counters_.lossyPeriods;
    if (maxRate.empty())
        return;
    if (state_ == State::Startup) {
        fullRateReached = true; // the queue is full: the drain empties it
        return;
    }
    // Cut, then see whether the loss goes with the rate. A lossy span while
    // that is judged cuts deeper (a few times: random loss makes every span
    // lossy), and the judging starts again: a path that slowed down may
    // still be overrun after the first cut.
    if (verifying == Verify::None) {
        cutFromCap = lossCap;
        cutFromRate = maxRate.best();
        cutUs = nowUs;
        deeperCuts = 0;
    } else if (deeperCuts++ >= kMaxDeeperCuts) {
        return;
    }
    verifying = Verify::Waiting;
    verifyRound = roundCount + 1;
    lossCap = std::max(kMinRate, kLossCut * std::min(lossCap, maxRate.best()));
    if (state_ == State::ProbeBandwidth && phase == 0)
        enterProbeBandwidth(nowUs, 1); // stop probing
}

void RateController::judgeCut()
{
    // A full queue loses only what is sent beyond the path's rate: after the
    // cut, little or nothing beyond the random loss known. Loss well above
    // that, with no queue meanwhile, comes whatever the rate: random loss.
    // It becomes the level that loss is judged against, and the rate is
    // restored; loss that went with the rate was a queue's, and the cut
    // stands.
    verifying = Verify::None;
    const double ratio = double(verifyLost) / double(verifyReported);
    // A queue that stays while we send below the path is another flow's, or
    // the path slowed down: the loss is that queue's. Standing: the whole
    // verification above the minimum by a quarter of it and 2 ms (on a
    // loopback path the minimum is a rare 50 us, most samples near 2 ms);
    // or a queue above the delay ceiling (a loss-based flow's) meanwhile.
    const bool queued = verifyMaxRttUs - minRttUs_ > kDelayCeilingUs ||
                        verifyMinRttUs - minRttUs_ > minRttUs_ / 4 + kStandingQueueUs;
    if (!queued && beyond(verifyLost, verifyReported, randomLoss_, kLossMargin)) {
        ++counters_.randomLossFound;
        const double was = randomLoss_;
        randomLoss_ = std::min(ratio, kMaxRandomLoss);
        // The rate before the cut, as the path carried it.
        const double rate = cutFromRate * (1 - was) / (1 - randomLoss_);
        lossCap = cutFromCap;
        if (!maxRate.empty() && rate > maxRate.best())
            maxRate.reset(rate, int64_t(fullRounds));
    } else {
        randomLoss_ = std::min(randomLoss_, ratio);
    }
}

void RateController::judgeDelay(int64_t nowUs)
{
    if (roundMinRttUs == 0 || minRttUs_ == 0)
        return;
    const bool high = roundMinRttUs - minRttUs_ > kDelayCeilingUs;
    if (!high) {
        lastClearRound = roundCount;
        futileBackoffs = 0;
        return;
    }
    if (state_ == State::Startup) {
        if (!maxRate.empty())
            fullRateReached = true;
        return;
    }
    if (state_ != State::ProbeBandwidth)
        return;
    if (delayHoldRounds > 0) {
        --delayHoldRounds;
        return;
    }
    if (lastClearRound < lastBackoffRound && ++futileBackoffs >= kFutileBackoffs) {
        // Backing off did not clear the queue: others hold it. Take back
        // half the rate held before the back-offs, an even share with the
        // flow that came.
        minRttUs_ = roundMinRttUs;
        minRttStampUs = nowUs;
        futileBackoffs = 0;
        if (!maxRate.empty() && rateBeforeBackoffs / 2 > maxRate.best())
            maxRate.reset(rateBeforeBackoffs / 2, int64_t(fullRounds));
        ++counters_.standingQueuesAccepted;
        return;
    }
    ++counters_.delayBackoffs;
    if (lastClearRound >= lastBackoffRound)
        rateBeforeBackoffs = maxRate.empty() ? 0 : maxRate.best(); // a new series
    lastBackoffRound = roundCount;
    delayHoldRounds = 1;
    if (roundMaxRate > 0 && !maxRate.empty())
        maxRate.reset(std::min(roundMaxRate, maxRate.best()), int64_t(fullRounds));
    drainGain = kBackoffGain;
    drainRounds = 0;
    state_ = State::Drain;
}

void RateController::enterProbeBandwidth(int64_t nowUs, int startPhase)
{
    state_ = State::ProbeBandwidth;
    phase = startPhase;
    phaseStartUs = nowUs;
}

void RateController::advanceState(int64_t nowUs)
{
    switch (state_) {
    case State::Startup:
        if (fullRateReached) {
            state_ = State::Drain;
            drainGain = 1 / kStartupGain;
            drainRounds = 0;
        }
        break;
    case State::Drain:
        if (inflight() <= drainTarget() || drainRounds >= kMaxDrainRounds) {
            // Start the cycle anywhere but in its draining phase.
            seed = seed * 1103515245u + 12345u;
            int start = int((seed >> 16) % 7);
            enterProbeBandwidth(nowUs, start == 1 ? 7 : start);
        }
        break;
    case State::ProbeBandwidth: {
        const int64_t length = std::max(kMinPhaseUs, minRttUs_);
        const bool drained = phase == 1 && inflight() <= drainTarget();
        if (nowUs - phaseStartUs > length || drained) {
            phase = (phase + 1) % 8;
            phaseStartUs = nowUs;
        }
        break;
    }
    case State::ProbeRtt:
        if (probeRttDoneUs == 0 && inflight() <= inflightLimit()) {
            probeRttDoneUs = nowUs + std::max(kProbeRttUs, minRttUs_);
            probeRttRound = roundCount + 1;
        } else if (probeRttDoneUs != 0 && nowUs >= probeRttDoneUs && roundCount >= probeRttRound) {
            minRttStampUs = nowUs;
            if (fullRateReached)
                enterProbeBandwidth(nowUs, 2);
            else
                state_ = State::Startup;
        }
        break;
    }
}

void RateController::onWake(int64_t nowUs)
{
    // Probing phases last a min round trip whether feedback comes or not.
    if (state_ == State::ProbeBandwidth && nowUs - phaseStartUs > std::max(kMinPhaseUs, minRttUs_)) {
        phase = (phase + 1) % 8;
        phaseStartUs = nowUs;
    }
    if (inflight() == 0)
        return;
    // A full window and no feedback for two round trips: the feedback that
    // would open it was lost, and the receiver writes none until something
    // new arrives. One more datagram, asking for feedback, every two round
    // trips and a wake-up period; with none measured yet, from two of the
    // hint's (or 3 ms), doubling.
    const int64_t rtt = srttUs ? srttUs : std::max(rttHintUs, kWakeUs);
    const int64_t probeAfter = (2 * rtt + kWakeUs) << (srttUs ? 0 : probes);
    if (!afterTimeout && probes < kMaxProbes && inflight() >= inflightLimit() &&
        nowUs - std::max(timeoutRefUs, lastProbeUs) > probeAfter) {
        ++probes;
        lastProbeUs = nowUs;
        askNext = true;
    }
    // Doubling while the silence lasts, up to a second: a path that comes
    // back is found again within a second, a dead one costs a few datagrams.
    const int64_t base = srttUs ? std::max(4 * srttUs + 2 * kWakeUs, kMinTimeoutUs) : kFirstTimeoutUs;
    const int64_t timeout = std::max(base, std::min(base << std::min(timeoutBackoff, 5), kMaxTimeoutUs));
    if (nowUs - timeoutRefUs <= timeout)
        return;
    // Silence: what is in flight is taken as lost; start again carefully.
    ++counters_.timeouts;
    presumedLostUpTo = sent;
    timeoutRefUs = nowUs;
    if (timeoutBackoff == 0 && !maxRate.empty())
        lossCap = std::max(kMinRate, 0.5 * std::min(lossCap, maxRate.best()));
    ++timeoutBackoff;
    afterTimeout = true;
    askNext = true;
}
