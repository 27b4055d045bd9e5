#include "transport/rate/delay_judge.h"

#include <algorithm>

#include "transport/rate/rate_bounds.h"

namespace {
constexpr int kFutileBackoffs = 2;
} // namespace

bool DelayJudge::onRttSample(int64_t rttUs, int64_t minRttUs)
{
    highRttSamples = rttUs - minRttUs > RateBounds::kDelayCeilingUs ? highRttSamples + 1 : 0;
    return highRttSamples >= 2;
}

DelayJudge::Verdict DelayJudge::endRound(const Round &round)
{
    Verdict verdict;
    if (round.roundMinRttUs == 0 || round.minRttUs == 0)
        return verdict;
    if (round.roundMinRttUs - round.minRttUs <= RateBounds::kDelayCeilingUs) {
        lastClearRound = round.count;
        futileBackoffs = 0;
        return verdict;
    }
    if (round.startup) {
        if (round.rate > 0)
            verdict.kind = Verdict::QueueFull;
        return verdict;
    }
    if (!round.probing)
        return verdict;
    if (holdRounds > 0) {
        --holdRounds;
        return verdict;
    }
    if (lastClearRound < lastBackoffRound && ++futileBackoffs >= kFutileBackoffs) {
        // Backing off did not clear the queue: others hold it. Take back
        // half the rate held before the back-offs, an even share with the
        // flow that came.
        verdict.kind = Verdict::QueueAccepted;
        verdict.minRttUs = round.roundMinRttUs;
        futileBackoffs = 0;
        if (round.rate > 0 && rateBeforeBackoffs / 2 > round.rate)
            verdict.restartRate = rateBeforeBackoffs / 2;
        ++accepted;
        return verdict;
    }
    ++delayBackoffs;
    if (lastClearRound >= lastBackoffRound)
        rateBeforeBackoffs = round.rate; // a new series
    lastBackoffRound = round.count;
    holdRounds = 1;
    verdict.kind = Verdict::BackOff;
    if (round.roundMaxRate > 0 && round.rate > 0)
        verdict.restartRate = std::min(round.roundMaxRate, round.rate);
    return verdict;
}
