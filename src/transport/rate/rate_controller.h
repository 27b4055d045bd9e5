// Paced, rate-based congestion control for the datagrams to one destination.
//
// Every datagram written gets a transmission number (txn: 1, 2, 3, ... in
// uint32, new for every send and resend). The receiver's feedback tells the
// newest txn it got, how long it held that news before writing the feedback,
// and how many datagrams it got in all. From these the controller takes:
//   - round-trip samples: now - send time of the newest txn - hold time;
//   - delivery-rate samples: datagrams the path carried between an earlier
//     feedback and this one, over the longer of the two spans they took to
//     send and to arrive (the arrival span, corrected by the hold times,
//     measures the bottleneck's spacing and is immune to feedback bunched on
//     the way back; the send span keeps a burst from reading faster than it
//     was sent). Carried: those that arrived, grossed up by the random loss
//     (below), but never more than the txns reported in the span;
//   - loss: txns at or below the newest that the count says never arrived.
//
// Model: the bottleneck rate is the largest delivery-rate sample of the last
// 10 rounds (a round: until a datagram written after its start is reported),
// the path's round trip the smallest sample of the last 10 s. Rounds whose
// sender ran out of data (the caller says so per datagram) only raise the
// rate, never lower it. The controller paces at gain x rate and allows
// 2 x rate x min round trip in flight, plus what one feedback interval and
// one wake-up period bring (feedback comes every 32 datagrams or two round
// trips, the sender wakes about every millisecond; in Startup the wake-up
// period is left out, since feedback wakes the sender and a LAN switch's
// shallow queue would otherwise overflow). Where feedback is lost at random
// (random loss known, below), also what is written until a lost feedback is
// noticed (two round trips and a wake-up period): else every lost feedback
// stalls the sender, and the stalls hold the rate samples down.
//
// States:
//   Startup        gain 2.885 (doubles each round) from 16 datagrams in the
//                  first round (written at once, with feedback asked for at
//                  the 8th and 16th: their arrival spacing gives a first rate
//                  of the bottleneck). Ends when the rate grew less than 25 %
//                  in 3 rounds, when a span is lossy (below), or when the
//                  round trip stands more than the delay ceiling above its
//                  minimum (two samples in a row, or a whole round). Random
//                  loss ends it early too; ProbeBandwidth then finds it
//                  random and restores the rate.
//   Drain          gain 1/2.885 until what is in flight fits the path again.
//   ProbeBandwidth gains cycle 1.25, 0.75, 1 x 6, each for one min round
//                  trip (at least 2 ms): probes for more rate, then drains
//                  the queue that probing built.
//   ProbeRtt       when the min round trip is 10 s old: in flight held to
//                  half the path's capacity for 200 ms and a round, so queues
//                  drain and the true minimum is seen again.
//
// Delay ceiling: when a whole round's smallest round trip stands more than
// 30 ms above the minimum, the rate estimate is reset to what that round
// delivered and the sender drains at 0.75 until in flight fits. When the
// queue is still there after two such back-offs, it is not ours (a loss-based
// flow keeps it full): the standing round trip becomes the new minimum and
// the estimate is raised back to half what it was before the back-offs (an
// even share with the newcomer), so the controller competes rather than
// starves; the 10 s ProbeRtt finds the old minimum again once that queue goes.
//
// Loss response: loss is judged over spans of at least 48 reported datagrams,
// so that a single random loss in a short round does not count. A span is
// lossy when it loses at least 3 datagrams and more than the random loss
// known explains: its mean, two standard deviations, and 2 % of the span.
// A lossy span caps the rate at 0.7 x the estimate and ends a probe; every
// span that is not raises the cap by 10 % until it no longer binds, and
// once the cap has been clean for a second by 20, 40, 80 % ... (at most
// 640 %) a span, so that a cap cut deep by a receiver that stalled does not
// keep a recovered path at a crawl for minutes. A
// loss-based flow halves its window on loss: the deeper cut keeps the two
// near even on a full queue.
//
// Random loss, told from a queue's: a full queue loses what is sent beyond
// the path's rate, so after a cut it loses less (nothing, if the cut went
// below the path); random loss stays whatever the rate. So each cut is
// judged on the 192 datagrams written from a round after it: if they lose
// well more (two standard deviations and 1 %) than the random loss known,
// and the round trip shows no queue meanwhile (none standing above the
// minimum by a quarter of it and 2 ms, none above the delay ceiling:
// another flow's queue keeps losing while we back off; the 2 ms are the
// spread of a loopback path, whose minimum is a rare 50 us), the loss is
// random.
// Its ratio becomes the random loss (at most 50 %), the cap and the rate
// estimate are restored as before the cut, and from then on spans are
// judged against it and rate samples grossed up by it. Otherwise the cut
// stands, and the random loss is taken as no more than what that
// verification lost. Spans that are not lossy keep the random loss as their
// average (weight 1/8), so it fades when the loss does. A lossy span while
// a cut is judged cuts deeper and starts the judging again (up to 3 times:
// random loss makes every span lossy, and a path that slowed down may still
// be overrun after the first cut); after the third, 48 datagrams losing as
// much as a lossy span suffice. A cut not judged within 5 s (too little
// sent) stands. The rate then stays near (1 - loss) x the path's on paths
// that lose at random, and a sender that overruns a shallow queue (a LAN
// switch, a receiver's socket buffer, a path that slowed down) still comes
// back below it.
//
// Feedback asked for (the flag): at the 8th and 16th datagram of the first
// round; about twice a round in Startup and Drain; otherwise only when a
// datagram fills the in-flight limit or empties the caller's queue, and then
// no more than once per 16 datagrams (or per half the limit, if smaller).
// With the receiver's own feedback every 32 datagrams or two round trips,
// feedback stays near 3 % of the data on fast paths and under 5 % on slow ones.
//
// Bounded memory: the last datagrams' send records live in a ring that grows
// with what is in flight, from 256 records (4 KiB) to at most 4,096, and the
// in-flight limit never exceeds that. A caller that writes past the limit
// overwrites the oldest records: feedback for those still updates the counts,
// but yields no round-trip or rate sample. (A server keeps a controller per
// client it talks to: most paths never need the large ring.)
//
// Untrusted feedback (the caller passes on only feedback that named a number
// it wrote): a newest txn beyond the last written or older than one already
// reported is ignored; a count that goes backwards is taken as a new base,
// one that grows by more than the txns written between the two newest is
// clamped to that; a hold time longer than the datagram has been out gives
// no sample, and a round-trip sample is at least kMinRttUs; a rate sample is
// never more than the rate at which those datagrams were written, so
// start-up grows no faster than the datagrams really sent; uint32 txns and
// counts wrap. Every rate and limit stays finite and inside fixed bounds.
//
// Lost feedback: the receiver writes feedback only when something new
// arrived, so a lost one can leave a full window waiting for nothing. With
// the window full and no feedback for two round trips and a wake-up period
// (before a round trip is measured: two of the hint's or 3 ms, doubling),
// one more datagram may go, asking for feedback; up to 8 until feedback
// returns. The caller must wake by then: when its window is full, at least
// every two round trips.
//
// Feedback timeout: with datagrams in flight and no feedback for
// max(4 x smoothed round trip + 2 ms, 250 ms) (1 s before any round trip is
// known; doubling while the silence lasts, up to 1 s), what is in flight is
// taken as lost, the rate halves once, and only 4 datagrams may be in flight
// until feedback returns, the first of them asking for it.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "transport/rate/windowed_filter.h"

class RateController {
public:
    enum class State { Startup, Drain, ProbeBandwidth, ProbeRtt };

    static constexpr uint32_t kRecords = 4096;        // send records: the most in flight
    static constexpr uint32_t kFirstRecords = 256;    // the ring's size at first
    static constexpr uint32_t kInitialWindow = 16;    // datagrams before the first feedback
    static constexpr uint32_t kMinInflight = 4;
    static constexpr double kMinRate = 10;            // datagrams per second
    static constexpr double kMaxRate = 1e7;
    static constexpr int64_t kDelayCeilingUs = 30000;
    static constexpr int64_t kMinRttUs = 20;          // the shortest round trip a sample may give

    // Counts of notable events, for logs and benchmarks.
    struct Counters {
        uint64_t feedbackIgnored = 0;   // beyond the last sent, stale, or before the first send
        uint64_t delayBackoffs = 0;
        uint64_t standingQueuesAccepted = 0;
        uint64_t lossyPeriods = 0;
        uint64_t randomLossFound = 0;   // cuts after which the loss stayed: random loss
        uint64_t timeouts = 0;
    };

    // `firstTxn` is the number of the first datagram (1 for a new destination).
    explicit RateController(int64_t nowUs, uint32_t firstTxn = 1);

    // Call for each datagram as it is written. `queueEmptyAfter`: the caller
    // has nothing more queued for this destination after it. Returns the
    // datagram's txn; *askFeedback (if given) tells whether it should carry
    // the flag asking for feedback at once (at most about one in 16).
    uint32_t onSent(int64_t nowUs, bool queueEmptyAfter, bool *askFeedback);

    // Feedback from the receiver: the newest txn it got, how long before
    // writing the feedback that datagram arrived, and how many paced
    // datagrams it got from this sender in all (wrapping).
    void onFeedback(int64_t nowUs, uint32_t newestTxn, int64_t holdUs, uint32_t receivedCount);

    // Call at every wake-up: runs the feedback timeout.
    void onWake(int64_t nowUs);

    // An RTT measured otherwise (e.g. a request and its answer); used only
    // until feedback brings samples, to pace the first round.
    void setRttHint(int64_t us);

    double pacingRate() const;          // datagrams per second
    uint32_t inflightLimit() const;     // datagrams
    uint32_t inflight() const;          // last txn sent - newest txn reported (or taken as lost)
    int64_t smoothedRttUs() const { return srttUs; } // 0 while unknown
    int64_t minRttUs() const { return minRttUs_; }   // 0 while unknown
    int64_t lastFeedbackUs() const { return lastFeedbackUs_; } // 0 before any

    double bottleneckRate() const;      // the rate estimate (datagrams per second), 0 while unknown
    State state() const { return state_; }
    uint64_t lostEstimate() const { return newest - delivered; }
    double randomLoss() const { return randomLoss_; } // the share lost whatever the rate
    const Counters &counters() const { return counters_; }

private:
    static constexpr uint32_t kFeedbackSlots = 256;

    struct SendRecord {
        int64_t sentUs = 0;
        uint32_t feedbackSeq = 0;   // the newest feedback known when it was written (low 32 bits)
        bool appLimited = false;
    };
    struct FeedbackRecord {
        uint64_t seq = 0;
        int64_t arrivalUs = 0;      // when its newest datagram arrived (sender's clock, minus the way back)
        uint64_t delivered = 0;
        uint64_t newest = 0;
        int64_t newestSentUs = 0;
        bool valid = false;
    };
    struct Max {
        bool operator()(double a, double b) const { return a > b; }
    };

    uint32_t txnOf(uint64_t seq) const { return uint32_t(firstTxn + uint32_t(seq - 1)); }
    double estimate() const;        // min(bottleneck rate, loss cap), 0 while unknown
    double bdp() const;             // datagrams the path holds at the estimate
    double feedbackAllowance() const;
    double drainTarget() const;
    void countDelivered(uint32_t receivedCount, uint64_t advance);
    void takeRttSample(int64_t nowUs, int64_t rttUs);
    void takeRateSample(const FeedbackRecord &now, const FeedbackRecord &before, bool appLimited);
    void endRound(int64_t nowUs, bool appLimited);
    static bool beyond(uint64_t lost, uint64_t reported, double expected, double margin);
    void judgeLoss(int64_t nowUs);
    void judgeCut();
    void judgeDelay(int64_t nowUs);
    void advanceState(int64_t nowUs);
    void enterProbeBandwidth(int64_t nowUs, int phase);
    const FeedbackRecord *feedbackAt(uint32_t seq) const;

    uint32_t firstTxn;
    uint64_t sent = 0;              // datagrams written; the newest's 64-bit number
    uint64_t newest = 0;            // newest reported, 64-bit
    uint64_t delivered = 0;         // reported as received, up to newest
    uint32_t lastCount = 0;
    uint64_t presumedLostUpTo = 0;  // after a timeout
    uint64_t appLimitedUpTo = 0;

    std::vector<SendRecord> records = std::vector<SendRecord>(kFirstRecords); // a ring, size a power of two
    void growRecords();
    FeedbackRecord feedback[kFeedbackSlots];
    uint64_t feedbackSeq = 0;       // feedbacks taken

    State state_ = State::Startup;
    WindowedFilter<double, Max> maxRate{10};
    double lossCap = std::numeric_limits<double>::infinity();
    int64_t cleanSinceUs = 0;       // the first of the clean loss judgements in a row (0: none)
    int fasterSpans = 0;            // clean spans since the cap's growth speeds up
    double fullRate = 0;
    int fullRateRounds = 0;
    bool fullRateReached = false;

    int64_t srttUs = 0, rttHintUs = 0;
    int64_t minRttUs_ = 0, minRttStampUs = 0;
    int64_t lastFeedbackUs_ = 0;
    int64_t lastHoldUs = 0;
    int highRttSamples = 0;         // in a row, above the delay ceiling

    uint64_t roundCount = 0, roundEnd = 1;
    uint64_t fullRounds = 0;        // rounds that were not short of data
    int64_t roundMinRttUs = 0;
    double roundMaxRate = 0;

    uint64_t lossReported = 0, lossLost = 0, lossMark = 0, lostMark = 0;

    // After a cut: the loss of what is written once it took hold.
    enum class Verify { None, Waiting, Counting };
    Verify verifying = Verify::None;
    uint64_t verifyRound = 0, verifyFrom = 0, verifyReported = 0, verifyLost = 0;
    int64_t verifyMaxRttUs = 0, verifyMinRttUs = 0;
    double cutFromCap = 0, cutFromRate = 0;
    int64_t cutUs = 0;
    int deeperCuts = 0;
    double randomLoss_ = 0;

    double drainGain = 1;
    uint64_t drainRounds = 0;
    int phase = 0;
    int64_t phaseStartUs = 0;
    uint64_t lastBackoffRound = 0, lastClearRound = 0;
    int futileBackoffs = 0;
    double rateBeforeBackoffs = 0;
    int delayHoldRounds = 0;

    int64_t probeRttDoneUs = 0;
    uint64_t probeRttRound = 0;

    int64_t timeoutRefUs = 0;
    int timeoutBackoff = 0;
    bool afterTimeout = false;
    uint32_t probes = 0;            // datagrams allowed beyond the window, feedback being overdue
    int64_t lastProbeUs = 0;
    bool askNext = false;
    uint32_t sinceAsk = 0;
    uint32_t seed;

    Counters counters_;
};
