#include "transport/rate/loss_judge.h"

#include <algorithm>
#include <cmath>

#include "transport/rate/rate_bounds.h"

namespace {
constexpr uint64_t kLossSpan = 48;               // reported datagrams per loss judgement
constexpr uint64_t kLossMinLost = 3;
constexpr double kLossThreshold = 0.02;
constexpr double kLossCut = 0.7;
constexpr double kLossRegrow = 0.1;              // the cap's growth per clean span
constexpr int64_t kLossRegrowFasterUs = 1000000; // clean for this long: the growth doubles span by span
constexpr uint64_t kVerifySpan = 192;            // datagrams sent after a cut, to tell random loss
constexpr int64_t kVerifyMaxUs = 5000000;        // then a cut whose datagrams never came stands
constexpr int kMaxDeeperCuts = 3;                // while a cut is judged
constexpr double kLossMargin = 0.01;             // above the random loss: what a cut must remove
constexpr double kMaxRandomLoss = 0.5;
constexpr int64_t kStandingQueueUs = 2000;       // and a quarter of the min round trip
constexpr double kRandomLossWeight = 1.0 / 8;    // of a span's ratio in the random loss's average
} // namespace

void LossJudge::onReport(uint64_t newest, uint64_t lost)
{
    lossReported += newest - lossMark;
    const uint64_t newlyLost = lost > lostMark ? lost - lostMark : 0;
    // Datagrams taken as lost that arrived late after all are no loss.
    const uint64_t late = lost < lostMark ? lostMark - lost : 0;
    lossLost = (lossLost + newlyLost) - std::min(lossLost + newlyLost, late);
    lostMark = lost;
    if (late > 0 && verifying != Verify::None && deeperCuts == 0)
        undoIfLate(late);
    if (verifying == Verify::Counting && newest > verifyFrom) {
        verifyReported += newest - std::max(lossMark, verifyFrom);
        verifyLost = (verifyLost + newlyLost) - std::min(verifyLost + newlyLost, late);
    }
    lossMark = newest;
}

void LossJudge::undoIfLate(uint64_t late)
{
    // The span that cut had datagrams that merely came late (reordered):
    // without them it was not lossy, and the cap goes back as it was.
    cutSpanLost -= std::min(cutSpanLost, late);
    if (beyond(cutSpanLost, cutSpanReported, randomLoss_, kLossThreshold))
        return;
    lossCap = cutFromCap;
    verifying = Verify::None;
    ++undone;
}

void LossJudge::onRttSample(int64_t rttUs)
{
    if (verifying == Verify::Counting) {
        verifyMaxRttUs = std::max(verifyMaxRttUs, rttUs);
        verifyMinRttUs = verifyMinRttUs ? std::min(verifyMinRttUs, rttUs) : rttUs;
    }
}

void LossJudge::onTimeout(double rate)
{
    if (rate > 0)
        lossCap = std::max(RateBounds::kMinRate, 0.5 * std::min(lossCap, rate));
}

bool LossJudge::beyond(uint64_t lost, uint64_t reported, double expected, double margin)
{
    // More lost than a loss ratio of `expected` explains: its mean, two
    // standard deviations, and the margin.
    const double n = double(reported), p = std::clamp(expected, 0.0, 1.0);
    return lost >= kLossMinLost && double(lost) > n * (p + margin) + 2 * std::sqrt(n * p * (1 - p));
}

LossJudge::Verdict LossJudge::endRound(int64_t nowUs, const Round &round)
{
    Verdict verdict;
    double rate = round.rate;
    // After the deepest cut, loss as high as a lossy span's needs no more
    // than a span to be judged: the rate cannot go lower meanwhile.
    const bool deepest = deeperCuts >= kMaxDeeperCuts && verifyReported >= kLossSpan &&
                         beyond(verifyLost, verifyReported, randomLoss_, kLossThreshold);
    if (verifying == Verify::Counting && (verifyReported >= kVerifySpan || deepest)) {
        verdict.restartRate = judgeCut(rate, round.minRttUs);
        rate = verdict.restartRate > 0 ? verdict.restartRate : rate;
    } else if (verifying != Verify::None && nowUs - cutUs > kVerifyMaxUs) {
        verifying = Verify::None; // too little sent since: the cut stands
    }
    judgeSpan(nowUs, rate, round, verdict);
    if (verifying == Verify::Waiting && round.count >= verifyRound) {
        // What was written before the cut took hold is out: count from here.
        verifying = Verify::Counting;
        verifyFrom = round.sent;
        verifyReported = verifyLost = 0;
        verifyMaxRttUs = verifyMinRttUs = 0;
    }
    return verdict;
}

void LossJudge::judgeSpan(int64_t nowUs, double rate, const Round &round, Verdict &verdict)
{
    if (lossReported < kLossSpan)
        return;
    const bool lossy = beyond(lossLost, lossReported, randomLoss_, kLossThreshold);
    const double ratio = double(lossLost) / double(lossReported);
    const uint64_t spanLost = lossLost, spanReported = lossReported;
    lossReported = lossLost = 0;
    if (!lossy) {
        if (randomLoss_ > 0)
            randomLoss_ = std::min(kMaxRandomLoss, randomLoss_ + kRandomLossWeight * (ratio - randomLoss_));
        regrowCap(nowUs, rate);
        return;
    }
    cleanSinceUs = 0;
    fasterSpans = 0;
    ++lossyPeriods;
    if (rate <= 0)
        return;
    if (round.startup) {
        verdict.queueFull = true; // the drain empties it
        return;
    }
    // Cut, then see whether the loss goes with the rate. A lossy span while
    // that is judged cuts deeper (a few times: random loss makes every span
    // lossy), and the judging starts again: a path that slowed down may
    // still be overrun after the first cut.
    if (verifying == Verify::None) {
        cutFromCap = lossCap;
        cutFromRate = rate;
        cutUs = nowUs;
        deeperCuts = 0;
        cutSpanLost = spanLost;
        cutSpanReported = spanReported;
    } else if (deeperCuts++ >= kMaxDeeperCuts) {
        return;
    }
    verifying = Verify::Waiting;
    verifyRound = round.count + 1;
    lossCap = std::max(RateBounds::kMinRate, kLossCut * std::min(lossCap, rate));
    verdict.cut = true;
}

void LossJudge::regrowCap(int64_t nowUs, double rate)
{
    if (!std::isfinite(lossCap))
        return;
    // By a tenth a clean span; once the cap has been clean for a second,
    // faster and faster: a burst of loss that cut it deep (a receiver that
    // stalled) is not paid for with minutes at a crawl, and a path is not
    // overrun again a few spans after a cut.
    if (cleanSinceUs == 0)
        cleanSinceUs = nowUs;
    const int faster = nowUs - cleanSinceUs >= kLossRegrowFasterUs ? std::min(++fasterSpans, 6) : 0;
    lossCap *= 1 + kLossRegrow * double(1 << faster);
    if (rate > 0 && lossCap > rate)
        lossCap = std::numeric_limits<double>::infinity();
}

double LossJudge::judgeCut(double rate, int64_t minRttUs)
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
    const bool queued = verifyMaxRttUs - minRttUs > RateBounds::kDelayCeilingUs ||
                        verifyMinRttUs - minRttUs > minRttUs / 4 + kStandingQueueUs;
    if (queued || !beyond(verifyLost, verifyReported, randomLoss_, kLossMargin)) {
        randomLoss_ = std::min(randomLoss_, ratio);
        return 0;
    }
    ++randomFound;
    const double was = randomLoss_;
    randomLoss_ = std::min(ratio, kMaxRandomLoss);
    lossCap = cutFromCap;
    // The rate before the cut, as the path carried it.
    const double restored = cutFromRate * (1 - was) / (1 - randomLoss_);
    return rate > 0 && restored > rate ? restored : 0;
}
