#include "transport/rate/rate_estimator.h"

#include <algorithm>

#include "transport/rate/rate_bounds.h"

namespace {
constexpr int64_t kMinRttWindowUs = 10000000;
constexpr uint64_t kMinSampleCount = 2; // delivered datagrams for a rate sample
// The first flight is written at once, and its spacing on arrival spans a few
// milliseconds at most: a receiver that reads late bunches it, and the rate
// reads high. Its samples claim a path content of at most this many
// datagrams over the round trip.
constexpr double kFirstFlightContent = 1024;
} // namespace

RateEstimator::RateEstimator(int64_t nowUs, uint32_t firstTxn) : firstTxn(firstTxn)
{
    // The origin: nothing delivered, as of the first send (set there).
    feedback[0] = FeedbackRecord{0, nowUs, 0, 0, nowUs, true};
}

uint32_t RateEstimator::inflight() const
{
    const uint64_t acked = std::max(newest, presumedLostUpTo);
    return uint32_t(std::min<uint64_t>(sent_ - acked, UINT32_MAX));
}

void RateEstimator::setRttHint(int64_t us)
{
    if (us > 0 && us <= 60000000)
        rttHintUs_ = us;
}

void RateEstimator::growRecords()
{
    if (records.size() >= kRecords)
        return;
    // The records of what may still be reported move to their places in
    // the larger ring.
    std::vector<SendRecord> larger(records.size() * 2);
    const uint64_t first = sent_ >= records.size() ? sent_ - records.size() + 1 : 1;
    for (uint64_t seq = first; seq <= sent_; ++seq)
        larger[seq % larger.size()] = records[seq % records.size()];
    records.swap(larger);
}

uint64_t RateEstimator::onSent(int64_t nowUs, bool appLimited)
{
    if (inflight() + kFirstRecords / 4 >= records.size())
        growRecords();
    const uint64_t seq = ++sent_;
    if (seq == 1)
        feedback[0].arrivalUs = feedback[0].newestSentUs = nowUs;
    SendRecord &r = records[seq % records.size()];
    r.sentUs = nowUs;
    r.feedbackSeq = uint32_t(feedbackSeq);
    // A datagram written before the end of the last idle spell was reported
    // carries that spell inside its rate sample.
    r.appLimited = appLimited || newest < appLimitedUpTo;
    if (appLimited)
        appLimitedUpTo = seq;
    return seq;
}

const RateEstimator::FeedbackRecord *RateEstimator::feedbackAt(uint32_t seq) const
{
    const FeedbackRecord &f = feedback[seq % kFeedbackSlots];
    return f.valid && uint32_t(f.seq) == seq ? &f : nullptr;
}

void RateEstimator::countDelivered(uint32_t receivedCount, uint64_t advance)
{
    const uint32_t step = receivedCount - lastCount;
    lastCount = receivedCount;
    // A count that went backwards tells nothing: it is the base from now on,
    // and the newly reported datagrams are taken as arrived, not as lost.
    // The receiver cannot have more than every txn up to the newest: beyond
    // the newly reported ones, the count may take back those taken as lost
    // that merely arrived late.
    const uint64_t added = step > 0x7fffffffu ? advance : std::min<uint64_t>(step, newest - delivered);
    delivered = std::min<uint64_t>(delivered + added, newest);
}

bool RateEstimator::accept(int64_t nowUs, uint32_t newestTxn, uint32_t receivedCount, Report &report)
{
    // Which of our datagrams it names: one written, and not before the first.
    const uint32_t back = txnOf(sent_) - newestTxn;
    if (sent_ == 0 || back >= sent_ || sent_ - back < newest) {
        ++ignored; // beyond the last written, before the first, or overtaken by newer feedback
        return false;
    }
    const uint64_t n = sent_ - back;
    const bool first = lastFeedbackUs_ == 0;
    report.accepted = true;
    report.newest = n;
    report.advance = n - newest;
    newest = n;
    if (first) {
        lastCount = receivedCount;
        delivered = std::min<uint64_t>(receivedCount, newest);
    } else {
        countDelivered(receivedCount, report.advance);
    }
    lastFeedbackUs_ = std::max<int64_t>(nowUs, 1);
    return true;
}

RateEstimator::Report RateEstimator::onFeedback(int64_t nowUs, uint32_t newestTxn, int64_t holdUs,
                                                uint32_t receivedCount, double randomLoss, bool startup)
{
    Report report;
    if (accept(nowUs, newestTxn, receivedCount, report) && report.advance > 0)
        sample(nowUs, holdUs, randomLoss, startup, report);
    return report;
}

void RateEstimator::sample(int64_t nowUs, int64_t holdUs, double randomLoss, bool startup, Report &report)
{
    // The send record gives the round trip and the rate; a hold time longer
    // than the datagram has been out is false, and yields neither.
    const SendRecord *r = sent_ - newest < records.size() ? &records[newest % records.size()] : nullptr;
    const int64_t elapsed = r ? nowUs - r->sentUs : -1;
    if (r && holdUs >= 0 && holdUs <= elapsed) {
        lastHoldUs_ = holdUs;
        takeRttSample(nowUs, std::max<int64_t>(kMinRttUs, elapsed - holdUs), report);
        const FeedbackRecord latest{++feedbackSeq, nowUs - holdUs, delivered, newest, r->sentUs, true};
        feedback[latest.seq % kFeedbackSlots] = latest;
        const double cap = r->feedbackSeq == 0 ? std::min(RateBounds::kMaxRate, kFirstFlightContent * 1e6 / double(srttUs_))
                                                : RateBounds::kMaxRate;
        if (const FeedbackRecord *before = feedbackAt(r->feedbackSeq))
            report.bottleneckSample = takeRateSample(latest, *before, r->appLimited, randomLoss, cap);
        // In start-up, also from the first feedback after it was written:
        // a shorter span, but it catches the bottleneck's spacing a round
        // earlier.
        if (startup && uint32_t(latest.seq) - r->feedbackSeq > 1)
            if (const FeedbackRecord *next = feedbackAt(r->feedbackSeq + 1u))
                report.bottleneckSample |= takeRateSample(latest, *next, r->appLimited, randomLoss, cap);
    } else {
        // Counts only, and a feedback no later sample may start from.
        ++feedbackSeq;
        feedback[feedbackSeq % kFeedbackSlots] = FeedbackRecord{feedbackSeq, 0, 0, 0, 0, false};
    }
    report.roundEnded = newest >= roundEnd;
    report.roundAppLimited = !r || r->appLimited;
}

void RateEstimator::takeRttSample(int64_t nowUs, int64_t rttUs, Report &report)
{
    srttUs_ = srttUs_ == 0 ? rttUs : (7 * srttUs_ + rttUs) / 8;
    report.rttUs = rttUs;
    report.minRttExpired = minRttUs_ != 0 && nowUs - minRttStampUs > kMinRttWindowUs;
    if (minRttUs_ == 0 || rttUs <= minRttUs_ || report.minRttExpired) {
        minRttUs_ = rttUs;
        minRttStampUs = nowUs;
    }
    roundMinRttUs = roundMinRttUs ? std::min(roundMinRttUs, rttUs) : rttUs;
}

bool RateEstimator::takeRateSample(const FeedbackRecord &now, const FeedbackRecord &before, bool appLimited,
                                   double randomLoss, double cap)
{
    if (now.delivered < before.delivered + kMinSampleCount)
        return false;
    const int64_t sendSpan = now.newestSentUs - before.newestSentUs;
    const int64_t span = std::max(now.arrivalUs - before.arrivalUs, sendSpan);
    if (span <= 0)
        return false;
    // The origin (nothing delivered yet) has no arrival of its own: its span
    // holds a round trip, not a bottleneck's spacing.
    const bool bottleneck = before.seq != 0 && span > 2 * sendSpan;
    // What the path carried of what was sent: what arrived, and what random
    // loss took of it, but never more than was reported in the span (the
    // count of arrivals varies by chance; the best of such counts would
    // read above the path).
    const double carried = std::min(double(now.newest - before.newest),
                                    double(now.delivered - before.delivered) / (1 - randomLoss));
    const double rate = std::min(cap, carried * 1e6 / double(span));
    roundMaxRate = std::max(roundMaxRate, rate);
    // A sample from a spell without data to send only ever raises the estimate.
    if (appLimited && !maxRate.empty() && rate < maxRate.best())
        return bottleneck;
    maxRate.update(rate, int64_t(fullRounds));
    return bottleneck;
}

RateEstimator::Round RateEstimator::endRound(bool appLimited)
{
    ++roundCount_;
    roundEnd = sent_ + 1;
    // The rate estimate ages only in rounds that had data to send: after an
    // idle or sparse spell it is still there.
    if (!appLimited)
        ++fullRounds;
    const Round round{roundCount_, roundMinRttUs, roundMaxRate};
    roundMinRttUs = 0;
    roundMaxRate = 0;
    return round;
}

void RateEstimator::restartRate(double rate)
{
    if (!maxRate.empty())
        maxRate.reset(rate, int64_t(fullRounds));
}

void RateEstimator::setMinRtt(int64_t rttUs, int64_t nowUs)
{
    minRttUs_ = rttUs;
    minRttStampUs = nowUs;
}
