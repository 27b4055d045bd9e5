// The paced sender on simulated paths (tests/path_sim.h): what it reaches,
// how fast, what queue it leaves, what it leaves to others, and that bad
// feedback does it no harm. Each case is one simulated run on a clock of its
// own; the figures asserted are outcomes on the path, not the controller's
// internals.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "path_sim.h"
#include "transport/path/uplink_share.h"

using namespace sim;

namespace {

constexpr int64_t kSecond = 1000000;
constexpr int64_t kStart = 1000000; // the simulated clock's first second is empty

// A path and one paced flow on it, sending from kStart.
struct OneFlow {
    Clock clock;
    Bottleneck link;
    PacedFlow flow;
    double capacity; // datagrams per second

    explicit OneFlow(PathConfig path, PacedFlow::Options options = {})
        : link(clock, path), flow(clock, link, options), capacity(datagramsPerSecond(path.bitsPerSecond))
    {
    }
    void runFor(int64_t us) { clock.runUntil(kStart + us); }
    double share(int64_t fromUs, int64_t toUs) const
    {
        return flow.deliveries().ratePerSecond(kStart + fromUs, kStart + toUs) / capacity;
    }
    // The first time the flow delivered at least `fraction` of the path over
    // a window of `windowUs` (-1: never).
    int64_t reached(double fraction, int64_t windowUs) const
    {
        for (int64_t t = 0; t + windowUs <= clock.now() - kStart; t += windowUs / 4)
            if (share(t, t + windowUs) >= fraction)
                return t + windowUs;
        return -1;
    }
    // Feedback written, per data datagram.
    double feedbackShare() const { return double(flow.feedbacks) / double(std::max<uint64_t>(1, flow.sent)); }
};

PathConfig path(double bits, int64_t rttUs, int64_t queueUs, double loss = 0, double feedbackLoss = 0)
{
    PathConfig p;
    p.bitsPerSecond = bits;
    p.rttUs = rttUs;
    p.queueUs = queueUs;
    p.lossChance = loss;
    p.feedbackLossChance = feedbackLoss;
    return p;
}

} // namespace

TEST(RateController, ShortQueuePathIsFilledWithinAFewRoundTrips)
{
    OneFlow run(path(10e6, 30000, 50000));
    run.runFor(5 * kSecond);
    const int64_t at = run.reached(0.9, 30000);
    EXPECT_GE(at, 0);
    EXPECT_LE(at, 10 * 30000) << "at 90 % of 10 Mbit/s after " << at << " us";
    EXPECT_GE(run.share(kSecond / 2, 5 * kSecond), 0.9);
    EXPECT_LE(run.link.dropped(run.flow.id), run.flow.sent / 100);
    EXPECT_LT(run.feedbackShare(), 0.06);
}

TEST(RateController, SlowUplinkIsFoundWithoutFillingItsQueue)
{
    // 1 Mbit/s is 217 datagrams a second; the queue holds 100 ms (21 datagrams).
    OneFlow run(path(1e6, 40000, 100000));
    run.runFor(10 * kSecond);
    const int64_t at = run.reached(0.9, 80000);
    EXPECT_GE(at, 0);
    EXPECT_LE(at, 6 * 40000) << "at 90 % of 1 Mbit/s after " << at << " us";
    EXPECT_GE(run.share(kSecond / 2, 10 * kSecond), 0.9);
    EXPECT_LE(run.link.dropped(run.flow.id), 3u);
    EXPECT_LT(median(run.link.queueDelays(run.flow.id)), 30000);
    EXPECT_LT(run.feedbackShare(), 0.06);
}

TEST(RateController, BloatedQueueStaysShortWhileThePathIsFull)
{
    // A cable uplink with half a second of buffer.
    OneFlow run(path(10e6, 30000, 500000));
    run.runFor(20 * kSecond);
    EXPECT_LE(median(run.link.queueDelays(run.flow.id)), 50000);
    EXPECT_GE(run.share(kSecond, 20 * kSecond), 0.9);
    EXPECT_LT(run.feedbackShare(), 0.06);
}

TEST(RateController, RandomLossDoesNotCollapseTheRateAcrossTheWrap)
{
    // 1 % random loss on a mobile path; the transmission numbers and the
    // receiver's count both wrap around 2^32 during the run.
    PacedFlow::Options options;
    options.firstTxn = 0xffffe000u;
    options.firstCount = 0xfffff000u;
    OneFlow run(path(5e6, 80000, 100000, 0.01), options);
    run.runFor(20 * kSecond);
    EXPECT_GE(run.share(2 * kSecond, 20 * kSecond), 0.75);
    EXPECT_GT(run.flow.sent, 0x2000u + 0x1000u);
    // Losses are seen across the wrap: about 1 % of what was sent is resent.
    EXPECT_NEAR(double(run.flow.resends) / double(run.flow.sent), 0.01, 0.005);
}

TEST(RateController, RandomLossBothWaysOnLoopbackCostsOnlyWhatIsLost)
{
    // A loopback-like path (1 Gbit/s, 0.1 ms, a deep queue) losing at random
    // in both directions, data and feedback alike: the rate stays near
    // (1 - loss) x the lossless one, and a message of 2,000 datagrams (the
    // lost ones sent again) takes a small multiple of its lossless time.
    double lossless = 0;
    int64_t losslessUs = 0;
    for (const auto &[loss, slower] : {std::pair{0.0, 1.0}, {0.02, 2.0}, {0.1, 4.0}, {0.3, 8.0}}) {
        SCOPED_TRACE(loss);
        OneFlow bulk(path(1e9, 100, 50000, loss, loss));
        bulk.runFor(kSecond / 2);
        const double rate = bulk.flow.deliveries().ratePerSecond(kStart + kSecond / 10, kStart + kSecond / 2);
        PacedFlow::Options options;
        options.datagrams = 2000;
        OneFlow message(path(1e9, 100, 50000, loss, loss), options);
        message.runFor(kSecond);
        ASSERT_GT(message.flow.doneUs, 0) << "the message never arrived";
        const int64_t took = message.flow.doneUs - kStart;
        if (loss == 0) {
            lossless = rate;
            losslessUs = took;
            EXPECT_GE(rate, 0.9 * bulk.capacity);
            continue;
        }
        EXPECT_GE(rate, 0.85 * (1 - loss) * lossless);
        EXPECT_LE(double(took), slower * double(losslessUs)) << "lossless: " << losslessUs << " us";
    }
}

TEST(RateController, TenPercentRandomLossStillFillsAWidePath)
{
    OneFlow run(path(10e6, 30000, 50000, 0.1, 0.1));
    run.runFor(10 * kSecond);
    EXPECT_GE(run.share(2 * kSecond, 10 * kSecond), 0.8);
    EXPECT_LT(median(run.link.queueDelays(run.flow.id)), 30000);
}

TEST(RateController, APathThatSlowsDownUnderAShallowQueueIsNotOverrun)
{
    // 10 Mbit/s with a 3 ms queue (6 datagrams) drops to 2.5 Mbit/s: the
    // loss goes on after the first cuts, as random loss would, but the
    // sender must come back below the path, not learn that loss as random.
    OneFlow run(path(10e6, 30000, 3000));
    run.clock.at(kStart + 5 * kSecond, [&run] { run.link.setRate(2.5e6); });
    run.runFor(8 * kSecond);
    const uint64_t sent = run.flow.sent, overflowed = run.link.overflowed(run.flow.id);
    run.runFor(20 * kSecond);
    EXPECT_LE(run.link.overflowed(run.flow.id) - overflowed, (run.flow.sent - sent) / 100);
    EXPECT_GE(run.flow.deliveries().ratePerSecond(kStart + 8 * kSecond, kStart + 20 * kSecond), 0.85 * datagramsPerSecond(2.5e6));
}

TEST(RateController, AReceiverSlowerThanTheLinkSetsThePace)
{
    // The receiving process reads 20,000 datagrams a second (a tenth of the
    // link) from a socket buffer of 2,000.
    PacedFlow::Options options;
    options.readRate = 20000;
    options.socketBuffer = 2000;
    OneFlow run(path(1e9, 100, 50000), options);
    run.runFor(2 * kSecond);
    EXPECT_GE(run.flow.deliveries().ratePerSecond(kStart + kSecond / 2, kStart + 2 * kSecond), 0.95 * 20000);
    EXPECT_LE(run.flow.overflowed, run.flow.sent / 100);
}

TEST(RateController, TwoFlowsShareTheBottleneck)
{
    // On a shallow queue (25 datagrams) the loss that each flow's cut leaves
    // to the other must not be taken for random loss. A flow that comes 5 s
    // later, over a path whose jitter leaves the two at uneven rates after
    // the newcomer's start-up, must still get an even share: probing by the
    // gain alone keeps any ratio, the step that every flow adds evens it.
    struct Case {
        int64_t queueUs, laterUs, jitterUs;
        unsigned seed;
        double within; // of an even share
    };
    for (const Case c : {Case{50000, 2 * kSecond, 0, 1, 0.1}, Case{11500, 2 * kSecond, 0, 1, 0.1},
                         Case{50000, 5 * kSecond, 3000, 8, 0.06}, Case{50000, 5 * kSecond, 3000, 12, 0.06}}) {
        SCOPED_TRACE(testing::Message() << c.queueUs << " us queue, " << c.laterUs << " us later, seed " << c.seed);
        PathConfig config = path(10e6, 30000, c.queueUs);
        config.jitterUs = c.jitterUs;
        config.seed = c.seed;
        Clock clock;
        Bottleneck link(clock, config);
        PacedFlow::Options first, second;
        second.startUs = kStart + c.laterUs;
        PacedFlow a(clock, link, first), b(clock, link, second);
        clock.runUntil(kStart + 30 * kSecond);
        const double capacity = datagramsPerSecond(10e6);
        const double shareA = a.deliveries().ratePerSecond(kStart + 10 * kSecond, kStart + 30 * kSecond) / capacity;
        const double shareB = b.deliveries().ratePerSecond(kStart + 10 * kSecond, kStart + 30 * kSecond) / capacity;
        EXPECT_NEAR(shareA, 0.5, c.within);
        EXPECT_NEAR(shareB, 0.5, c.within);
        EXPECT_GE(shareA + shareB, 0.9);
        EXPECT_LE(link.overflowed(a.id), a.sent * 3 / 100);
        EXPECT_LE(link.overflowed(b.id), b.sent * 3 / 100);
    }
}

TEST(RateController, RenoKeepsItsShareOfABloatedPathAndTheMessageStillArrives)
{
    // Reno and an 8 MiB message (16,784 datagrams) on the cable path, in
    // either order of arrival, 3 s apart.
    const double capacity = datagramsPerSecond(10e6);
    for (const bool renoFirst : {true, false}) {
        SCOPED_TRACE(renoFirst ? "Reno first" : "Reno second");
        Clock clock;
        Bottleneck link(clock, path(10e6, 30000, 500000));
        PacedFlow::Options message;
        message.datagrams = 8 * 2098;
        message.startUs = kStart + (renoFirst ? 3 : 0) * kSecond;
        PacedFlow ours(clock, link, message);
        RenoFlow reno(clock, link, kStart + (renoFirst ? 0 : 3) * kSecond);
        clock.runUntil(kStart + 45 * kSecond);
        ASSERT_GT(ours.doneUs, 0) << "the message never arrived";
        // While both send, Reno keeps its share, and the message makes
        // progress: it takes at most 3 times what half the path would.
        const int64_t from = kStart + 3 * kSecond;
        EXPECT_GE(reno.deliveries().ratePerSecond(from, ours.doneUs) / capacity, 0.35);
        EXPECT_LE(ours.doneUs - message.startUs, 24 * kSecond);
    }
}

TEST(RateController, SixtyFourKibOnALanTakeAFewMilliseconds)
{
    PacedFlow::Options options;
    options.datagrams = 132;
    OneFlow run(path(1e9, 200, 1000), options);
    run.runFor(kSecond);
    ASSERT_GT(run.flow.doneUs, 0);
    EXPECT_LE(run.flow.doneUs - kStart, 4000);
    EXPECT_EQ(run.link.dropped(run.flow.id), 0u);
}

TEST(RateController, SparseSpellsKeepTheRateEstimate)
{
    // Two seconds of bulk, then five of 20-datagram messages every 50 ms
    // (a fifth of the path), then bulk again: it starts at the path's rate.
    PathConfig p = path(10e6, 30000, 50000);
    p.jitterUs = 5000;
    PacedFlow::Options options;
    options.datagrams = 2 * 2170;
    OneFlow run(p, options);
    for (int i = 0; i < 100; ++i)
        run.clock.at(kStart + 3 * kSecond + i * 50000, [&run] { run.flow.add(20); });
    run.runFor(8 * kSecond);
    EXPECT_GE(run.flow.controller().bottleneckRate(), 0.9 * run.capacity);
    run.flow.add(2170);
    run.runFor(9 * kSecond);
    EXPECT_GE(run.share(8 * kSecond, 8 * kSecond + kSecond / 2), 0.85);
}

TEST(RateController, FeedbackSilenceStopsTheSenderUntilFeedbackReturns)
{
    PacedFlow::Options options;
    options.silentFromUs = kStart + 3 * kSecond;
    options.silentToUs = kStart + 5 * kSecond;
    OneFlow run(path(10e6, 30000, 50000), options);
    run.runFor(3 * kSecond + 100000);
    const uint64_t before = run.flow.sent;
    run.runFor(5 * kSecond);
    // No feedback for 2 s: the in-flight limit and a few timeout probes.
    EXPECT_LE(run.flow.sent - before, 200u + 5 * RateController::kMinInflight);
    EXPECT_GE(run.flow.controller().counters().timeouts, 1u);
    run.runFor(8 * kSecond);
    EXPECT_GE(run.share(6 * kSecond, 8 * kSecond), 0.85);
}

TEST(RateController, MalformedFeedbackIsHarmless)
{
    // Forged feedback every 5 ms beside the real one: numbers beyond what was
    // sent, long gone, or random, with random counts and hold times; and
    // every 50 ms one for the next datagram due, with a hold time of seconds
    // (longer than it has been out). The flow still fills the path, the
    // round trip it measures stays the path's, and the controller's outputs
    // stay within their bounds throughout.
    OneFlow run(path(10e6, 30000, 50000));
    RateController &rc = run.flow.controller();
    std::mt19937 rng(7);
    bool bounded = true;
    int tick = 0;
    std::function<void()> forge = [&] {
        const int64_t now = run.clock.now();
        const uint32_t lastSent = uint32_t(run.flow.sent); // the first txn is 1
        const uint32_t r = rng();
        uint32_t txn = rng();
        int64_t hold = int64_t(int32_t(rng()));
        if (++tick % 10 == 0) {
            txn = lastSent - rc.inflight() + 1;
            hold = 1000000 + r % 4000000;
        } else if (r % 3 == 0) {
            txn = lastSent + 1 + r % 5000;
        } else if (r % 3 == 1) {
            txn = lastSent - 100000 - r % 1000;
        }
        rc.onFeedback(now, txn, hold, tick % 10 == 0 ? r : rng());
        bounded = bounded && std::isfinite(rc.pacingRate()) && rc.pacingRate() >= RateController::kMinRate &&
                  rc.pacingRate() <= RateController::kMaxRate && rc.inflightLimit() >= RateController::kMinInflight &&
                  rc.inflightLimit() < RateController::kRecords;
        run.clock.at(now + 5000, forge);
    };
    run.clock.at(kStart, [&] { forge(); });
    run.runFor(5 * kSecond);
    EXPECT_TRUE(bounded);
    EXPECT_GT(rc.counters().feedbackIgnored, 500u);
    EXPECT_GE(rc.minRttUs(), 30000);
    EXPECT_LE(rc.minRttUs(), 35000);
    EXPECT_GE(run.share(kSecond, 5 * kSecond), 0.85);
}

TEST(RateController, ControllerAloneSurvivesAnyFeedback)
{
    // Without a path: random sends and random feedback, including at the
    // start before anything was sent and around the uint32 wrap.
    std::mt19937 rng(11);
    RateController rc(1000, 0xfffffff0u);
    int64_t now = 1000;
    for (int i = 0; i < 200000; ++i) {
        now += rng() % 3000;
        const uint32_t r = rng();
        if (r % 3 != 0) {
            bool ask = false;
            rc.onSent(now, r % 7 == 0, &ask);
        } else {
            rc.onFeedback(now, 0xfffffff0u + rng() % 64 - 8, int64_t(int32_t(rng())), rng() % 2 ? rng() : r % 100);
        }
        if (r % 11 == 0)
            rc.onWake(now + int64_t(r % 5) * 1000000);
        ASSERT_TRUE(std::isfinite(rc.pacingRate()));
        ASSERT_GE(rc.pacingRate(), RateController::kMinRate);
        ASSERT_LE(rc.pacingRate(), RateController::kMaxRate);
        ASSERT_GE(rc.inflightLimit(), RateController::kMinInflight);
        ASSERT_LT(rc.inflightLimit(), RateController::kRecords);
        ASSERT_GE(rc.smoothedRttUs(), 0);
    }
}

TEST(RateController, RepeatedFeedbackNamingNothingNewDoesNotHoldAFullWindow)
{
    // The window is full and the feedback that would open it was lost; the
    // receiver meanwhile repeats what it named before (loss reports every
    // round trip and a half, answers to other words). That says nothing of
    // what is in flight: the probes beyond the window and the timeout still go.
    RateController rc(kStart);
    int64_t now = kStart;
    auto fill = [&] {
        int sent = 0;
        for (; rc.inflight() < rc.inflightLimit(); ++sent)
            rc.onSent(now, false, nullptr);
        return sent;
    };
    fill();
    now += 30000;
    rc.onFeedback(now, 8, 0, 8); // a round trip measured, the window open again
    fill();
    int after = 0;
    for (int ms = 1; ms <= 2000; ++ms) {
        now += 1000;
        if (ms % 50 == 0)
            rc.onFeedback(now, 8, 0, 8);
        rc.onWake(now);
        after += fill();
    }
    EXPECT_GE(after, 2);
    EXPECT_GE(rc.counters().timeouts, 1u);
}

TEST(RateController, DatagramsThatArriveLateAreNotTakenForLoss)
{
    // 3 % of the datagrams held back 5 ms behind later ones (half the round
    // trip): once they arrive the count catches up, a cut their absence made
    // is undone, and the path stays full.
    PathConfig p = path(30e6, 10000, 30000);
    p.reorderChance = 0.03;
    p.reorderUs = 5000;
    OneFlow run(p);
    run.runFor(5 * kSecond);
    EXPECT_GE(run.share(kSecond, 5 * kSecond), 0.9);
    const RateController::Counters c = run.flow.controller().counters();
    EXPECT_EQ(c.lossyPeriods, c.cutsUndone);
    EXPECT_LT(run.flow.controller().lostEstimate(), run.flow.sent / 200);
}

TEST(RateController, OneSenderToEightDestinationsSharesItsUplinkAndFillsIt)
{
    // 1 MiB (2,098 datagrams) to each of eight receivers through one 10
    // Mbit/s uplink: each keeps at least half an even share while all send,
    // and the last is done close to the time all eight take at the link's
    // rate (alone, the last ones went on at the rate they had among eight).
    constexpr uint64_t kDatagrams = 2098;
    Clock clock;
    Bottleneck link(clock, path(10e6, 30000, 50000));
    UplinkShare uplink;
    PacedFlow::Options options;
    options.datagrams = kDatagrams;
    options.uplink = &uplink;
    std::vector<std::unique_ptr<PacedFlow>> flows;
    for (uint32_t i = 0; i < 8; ++i) {
        options.firstTxn = 1 + 1000000 * i;
        flows.push_back(std::make_unique<PacedFlow>(clock, link, options));
    }
    clock.runUntil(kStart + 30 * kSecond);
    int64_t first = INT64_MAX, last = 0;
    for (const auto &f : flows) {
        ASSERT_NE(f->doneUs, 0);
        first = std::min(first, f->doneUs);
        last = std::max(last, f->doneUs);
    }
    uint64_t total = 0, least = UINT64_MAX;
    for (const auto &f : flows) {
        total += f->deliveries().between(kStart, first);
        least = std::min(least, f->deliveries().between(kStart, first));
    }
    const double ideal = 30000 + 8 * kDatagrams * 1e6 / datagramsPerSecond(10e6);
    EXPECT_LE(double(last - kStart), 1.2 * ideal);
    EXPECT_GE(double(least), 0.5 * double(total) / 8);
}

TEST(RateController, TheUplinksEvenShareDoesNotOverrunADestinationsOwnBottleneck)
{
    // Two destinations through one sender's uplink, the second behind a
    // downlink of its own of 1 Mbit/s: the first's rate, shared out, must not
    // push the second over its bottleneck for long.
    Clock clock;
    Bottleneck fast(clock, path(10e6, 30000, 50000)), slow(clock, path(1e6, 30000, 100000));
    UplinkShare uplink;
    PacedFlow::Options options;
    options.uplink = &uplink;
    PacedFlow a(clock, fast, options);
    options.firstTxn = 1000000;
    PacedFlow b(clock, slow, options);
    clock.runUntil(kStart + 20 * kSecond);
    EXPECT_GE(a.deliveries().ratePerSecond(kStart + 2 * kSecond, kStart + 20 * kSecond), 0.9 * datagramsPerSecond(10e6));
    EXPECT_GE(b.deliveries().ratePerSecond(kStart + 2 * kSecond, kStart + 20 * kSecond), 0.9 * datagramsPerSecond(1e6));
    EXPECT_LE(slow.overflowed(b.id), b.sent / 100) << b.sent;
}
