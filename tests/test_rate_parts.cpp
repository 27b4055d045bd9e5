// The parts of the rate controller, each through its own interface and
// without a path: the estimator's samples, the loss and delay judges'
// verdicts, the state machine's gains, the feedback watch's asks and
// timeout, and the pacer. Whole-controller behaviour on simulated paths is
// in test_rate_controller.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "transport/rate/delay_judge.h"
#include "transport/rate/feedback_watch.h"
#include "transport/rate/loss_judge.h"
#include "transport/rate/pacer.h"
#include "transport/rate/rate_estimator.h"
#include "transport/rate/rate_state_machine.h"

namespace {
constexpr int64_t kT0 = 5000000;
}

TEST(RateEstimator, FirstFlightGivesRoundTripAndTheBottlenecksSpacing)
{
    // 16 datagrams written at once reach the receiver 1 ms apart, 10 ms
    // away; it answers at the 8th and the 16th.
    RateEstimator e(kT0, 100);
    for (int i = 0; i < 16; ++i)
        e.onSent(kT0, false);
    const auto at8 = e.onFeedback(kT0 + 27000, 107, 0, 8, 0, true);
    EXPECT_TRUE(at8.accepted && at8.roundEnded);
    EXPECT_EQ(at8.rttUs, 27000);
    e.endRound(at8.roundAppLimited);
    const auto at16 = e.onFeedback(kT0 + 35000, 115, 0, 16, 0, true);
    EXPECT_EQ(at16.advance, 8u);
    EXPECT_EQ(e.minRttUs(), 27000);
    EXPECT_EQ(e.srttUs(), (7 * 27000 + 35000) / 8);
    EXPECT_DOUBLE_EQ(e.rate(), 1000); // 8 datagrams over the 8 ms between the answers
    EXPECT_EQ(e.inflight(), 0u);
}

TEST(RateEstimator, FeedbackNamingNothingWrittenOrFalseHoldsGivesNoSample)
{
    RateEstimator e(kT0, 0xfffffffcu); // numbers wrap after the 4th
    for (int i = 0; i < 10; ++i)
        e.onSent(kT0 + i, false);
    EXPECT_FALSE(e.onFeedback(kT0 + 100, 0xfffffffcu + 10, 0, 1, 0, false).accepted); // never written
    EXPECT_FALSE(e.onFeedback(kT0 + 100, 0xfffffffbu, 0, 1, 0, false).accepted);      // before the first
    EXPECT_TRUE(e.onFeedback(kT0 + 100, 0xfffffffcu + 4, 0, 5, 0, false).accepted);
    EXPECT_FALSE(e.onFeedback(kT0 + 100, 0xfffffffcu + 3, 0, 5, 0, false).accepted);  // overtaken
    EXPECT_EQ(e.feedbackIgnored(), 3u);
    const auto held = e.onFeedback(kT0 + 200, 0xfffffffcu + 6, 1000000, 7, 0, false); // held longer than out
    EXPECT_EQ(held.advance, 2u);
    EXPECT_EQ(held.rttUs, 0);
    // A count far ahead is clamped to what was written; one that went back
    // is a new base, what it reports taken as arrived.
    e.onFeedback(kT0 + 300, 0xfffffffcu + 8, 0, 1000, 0, false);
    e.onFeedback(kT0 + 300, 0xfffffffcu + 9, 0, 3, 0, false);
    EXPECT_EQ(e.lostEstimate(), 0u);
    EXPECT_EQ(e.inflight(), 0u);
}

namespace {
LossJudge::Round lossRound(uint64_t count, uint64_t sent)
{
    return LossJudge::Round{count, sent, 1000, 30000, false};
}
} // namespace

TEST(LossJudge, ALossySpanCutsTheCapAndCleanSpansRaiseItAgain)
{
    LossJudge j;
    j.onReport(48, 5);
    const auto cut = j.endRound(kT0, lossRound(1, 60));
    EXPECT_TRUE(cut.cut);
    EXPECT_DOUBLE_EQ(j.cap(), 700);
    EXPECT_EQ(j.lossySpans(), 1u);
    for (uint64_t round = 2; round <= 5; ++round) {
        j.onReport(48 * round, 5);
        EXPECT_FALSE(j.endRound(kT0, lossRound(round, 60 * round)).cut);
    }
    EXPECT_TRUE(std::isinf(j.cap())) << "the cap binds no more after four clean spans";
    EXPECT_EQ(j.randomLoss(), 0);
}

TEST(LossJudge, LossThatStaysAfterACutIsRandomUnlessAQueueStands)
{
    // After a cut, 192 datagrams lose 10 %, none, or 10 % beside a round trip
    // standing 40 ms above the minimum.
    struct Case { uint64_t lost; int64_t rttUs; bool random; };
    for (const Case c : {Case{19, 0, true}, Case{0, 0, false}, Case{19, 70000, false}}) {
        SCOPED_TRACE(testing::Message() << c.lost << " lost, round trip " << c.rttUs);
        LossJudge j;
        j.onReport(48, 5);
        ASSERT_TRUE(j.endRound(kT0, lossRound(1, 58)).cut);
        j.onReport(58, 5);
        j.endRound(kT0, lossRound(2, 58)); // the cut took hold: counting starts
        for (uint64_t i = 1; i <= 192; ++i) {
            j.onReport(58 + i, 5 + c.lost * i / 192);
            if (c.rttUs)
                j.onRttSample(c.rttUs);
        }
        const auto v = j.endRound(kT0, lossRound(3, 250));
        EXPECT_EQ(j.randomLossFound(), c.random ? 1u : 0u);
        EXPECT_NEAR(j.randomLoss(), c.random ? 0.1 : 0, 0.01);
        EXPECT_EQ(std::isinf(j.cap()), c.random);
        EXPECT_DOUBLE_EQ(v.restartRate, c.random ? 1000 / (1 - 19.0 / 192) : 0);
    }
}

TEST(DelayJudge, RoundsAboveTheCeilingBackOffThenAcceptAQueueThatStays)
{
    DelayJudge j;
    EXPECT_FALSE(j.onRttSample(70000, 30000));
    EXPECT_TRUE(j.onRttSample(70000, 30000)) << "two samples in a row above the ceiling";
    EXPECT_EQ(j.endRound({1, 70000, 800, 30000, 1000, true, false}).kind, DelayJudge::Verdict::QueueFull);
    using V = DelayJudge::Verdict;
    std::vector<V::Kind> kinds;
    V last;
    for (uint64_t round = 2; round <= 6; ++round) {
        last = j.endRound({round, 70000, 300, 30000, round < 6 ? 400.0 : 150.0, false, true});
        kinds.push_back(last.kind);
    }
    // A back-off, a round for it to act, a second, a round, then the queue is another flow's.
    EXPECT_EQ(kinds, (std::vector<V::Kind>{V::BackOff, V::None, V::BackOff, V::None, V::QueueAccepted}));
    EXPECT_EQ(last.minRttUs, 70000);
    EXPECT_DOUBLE_EQ(last.restartRate, 200) << "half the rate before the back-offs";
    EXPECT_EQ(j.backoffs(), 2u);
    EXPECT_EQ(j.standingQueuesAccepted(), 1u);
    EXPECT_EQ(j.endRound({7, 31000, 300, 30000, 400, false, true}).kind, V::None);
}

TEST(RateStateMachine, StartupDrainsThenProbesInACycleAndProbesTheRoundTrip)
{
    RateStateMachine m(7);
    int64_t now = kT0;
    for (const double rate : {1000, 1100, 1200, 1240})
        m.endRound(false, rate);
    EXPECT_EQ(m.state(), RateStateMachine::State::Startup);
    EXPECT_FALSE(m.advance(now, {100, 50, 200, 30000, 4})) << "the rate stopped growing: full";
    EXPECT_EQ(m.state(), RateStateMachine::State::Drain);
    EXPECT_NEAR(m.pacingGain(), 1 / 2.885, 1e-9);
    m.advance(now, {40, 50, 200, 30000, 4});
    ASSERT_EQ(m.state(), RateStateMachine::State::ProbeBandwidth);
    std::vector<double> gains;
    for (int i = 0; i < 8; ++i, now += 30001) {
        m.onWake(now, 30000);
        gains.push_back(m.pacingGain());
    }
    std::rotate(gains.begin(), std::find(gains.begin(), gains.end(), 1.25), gains.end());
    EXPECT_EQ(gains, (std::vector<double>{1.25, 0.75, 1, 1, 1, 1, 1, 1}));
    while (m.pacingGain() != 1.25)
        m.onWake(now += 30001, 30000);
    m.lossCut(now);
    EXPECT_EQ(m.pacingGain(), 0.75) << "a cut ends the probe";

    m.minRttExpired();
    EXPECT_EQ(m.state(), RateStateMachine::State::ProbeRtt);
    EXPECT_EQ(m.inflightTarget(100, 10), 50);
    EXPECT_FALSE(m.advance(now, {50, 50, 50, 30000, 9}));
    EXPECT_FALSE(m.advance(now + 200000, {50, 50, 50, 30000, 9})) << "and a round";
    EXPECT_TRUE(m.advance(now + 200000, {50, 50, 50, 30000, 10}));
    EXPECT_EQ(m.state(), RateStateMachine::State::ProbeBandwidth);
    EXPECT_EQ(m.inflightTarget(100, 10), 210);

    m.backOff();
    EXPECT_EQ(m.pacingGain(), 0.75);
    for (int round = 0; round < 3; ++round)
        m.endRound(false, 1000);
    m.advance(now, {500, 50, 200, 30000, 13});
    EXPECT_EQ(m.state(), RateStateMachine::State::ProbeBandwidth) << "a drain lasts at most 3 rounds";
}

TEST(FeedbackWatch, AsksAtTheRhythmThenProbesAFullWindowThenTimesOut)
{
    FeedbackWatch w(kT0);
    std::vector<uint64_t> asked;
    for (uint64_t seq = 1; seq <= 64; ++seq)
        if (w.ask({seq, seq <= 16, false, seq % 40 == 0, 100, uint32_t(seq), 100}))
            asked.push_back(seq);
    // First flight at the 8th and 16th; then only when the queue empties.
    EXPECT_EQ(asked, (std::vector<uint64_t>{8, 16, 40}));

    w.beforeSend(kT0, true);
    const FeedbackWatch::Waiting full{100, 100, 30000, 0};
    EXPECT_FALSE(w.onWake(kT0 + 61000, full));
    EXPECT_EQ(w.probes(), 0u);
    EXPECT_FALSE(w.onWake(kT0 + 61001, full));
    EXPECT_EQ(w.probes(), 1u) << "two round trips and a wake-up of silence: one more datagram";
    EXPECT_TRUE(w.ask({65, false, false, false, 100, 101, 101}));
    EXPECT_FALSE(w.onWake(kT0 + 250000, full));
    EXPECT_TRUE(w.onWake(kT0 + 250001, full)) << "timed out";
    EXPECT_TRUE(w.afterTimeout());
    EXPECT_FALSE(w.onWake(kT0 + 750001, full)) << "the timeout doubles";
    EXPECT_TRUE(w.onWake(kT0 + 750002, full));
    EXPECT_EQ(w.timeoutsInRow(), 2);
    w.onFeedback(kT0 + 800000);
    EXPECT_FALSE(w.afterTimeout());
    EXPECT_EQ(w.probes(), 0u);
    EXPECT_EQ(w.timeouts(), 2u);
}

TEST(Pacer, ReachesHighRatesOnMillisecondWakeUpsAndSpreadsLowOnes)
{
    // A sender woken every 1 to 2 ms (late by up to a period), writing all
    // it is allowed, for one second at each rate.
    for (const double rate : {100000.0, 1e6 / (8 * 576)}) { // and 1 Mbit/s of datagrams
        SCOPED_TRACE(rate);
        std::mt19937 rng(3);
        int64_t now = kT0;
        Pacer pacer(now, rate);
        uint64_t written = 0;
        uint32_t largestBurst = 0;
        const int64_t end = now + 1000000;
        while (now < end) {
            const uint32_t n = pacer.allowance(now);
            pacer.consume(now, n);
            written += n;
            largestBurst = std::max(largestBurst, n);
            now = std::max(now + 1000, pacer.nextDueUs(now)) + int64_t(rng() % 1000);
        }
        EXPECT_NEAR(double(written), rate, rate * 0.03 + 2);
        if (rate < 1000) {
            EXPECT_LE(largestBurst, 2u);
        }
    }
}

TEST(Pacer, KeepsItsRateWhenWokenEverySystemTimerTickAtTheDepthTheWriterLearns)
{
    // A system timer of 15.6 ms: with the default depth the sender would get
    // a seventh of its rate; at the depth learnt from the lateness, all of it.
    const double rate = 10000;
    for (const int64_t depth : {Pacer::kDepthUs, Pacer::kDepthUs + 15600}) {
        int64_t now = kT0;
        Pacer pacer(now, rate);
        pacer.setDepthUs(depth);
        uint64_t written = 0;
        for (const int64_t end = now + 1000000; now < end; now += 15600) {
            const uint32_t n = pacer.allowance(now);
            pacer.consume(now, n);
            written += n;
        }
        if (depth == Pacer::kDepthUs)
            EXPECT_LT(double(written), rate / 5);
        else
            EXPECT_NEAR(double(written), rate, rate * 0.03);
    }
}
