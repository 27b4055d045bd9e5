// Paced, rate-based congestion control for the datagrams to one destination,
// composed of its parts: the estimator measures the path (delivery rate,
// round trip, rounds), the loss and delay judges read queues into what it
// measures, the state machine chooses the gains, and the feedback watch asks
// for feedback and notices when it stays away. Paths that leave through one
// uplink tell each other what they deliver (SharedUplink), and a path without
// congestion of its own paces at least at their even share.
// docs/path-protocol.md describes the whole ("Rate control").
//
// Every datagram written gets a transmission number (txn: new for every
// send and resend, uint32, wrapping). The caller passes on only feedback
// that named a number it wrote; every rate and limit stays finite and inside
// fixed bounds whatever the feedback says.
#pragma once

#include <cstdint>

#include "transport/rate/delay_judge.h"
#include "transport/rate/feedback_watch.h"
#include "transport/rate/loss_judge.h"
#include "transport/rate/rate_bounds.h"
#include "transport/rate/rate_estimator.h"
#include "transport/rate/rate_state_machine.h"
#include "transport/rate/shared_uplink.h"

class RateController {
public:
    using State = RateStateMachine::State;

    static constexpr uint32_t kRecords = RateEstimator::kRecords; // the most in flight
    static constexpr uint32_t kInitialWindow = 16;    // datagrams before the first feedback
    static constexpr uint32_t kMinInflight = 4;
    static constexpr double kMinRate = RateBounds::kMinRate;
    static constexpr double kMaxRate = RateBounds::kMaxRate;

    // Counts of notable events, for logs and benchmarks.
    struct Counters {
        uint64_t feedbackIgnored = 0;   // beyond the last sent, stale, or before the first send
        uint64_t delayBackoffs = 0;
        uint64_t standingQueuesAccepted = 0;
        uint64_t lossyPeriods = 0;
        uint64_t randomLossFound = 0;   // cuts after which the loss stayed: random loss
        uint64_t cutsUndone = 0;        // cuts whose loss arrived late after all: reordering
        uint64_t timeouts = 0;
        uint64_t shareBlocks = 0;       // times the uplink's even share lifted it into congestion
    };

    // `firstTxn` is the number of the first datagram (1 for a new destination);
    // `uplink` (optional, outliving the controller) is shared with the
    // controllers of the other paths that leave through the same uplink.
    explicit RateController(int64_t nowUs, uint32_t firstTxn = 1, SharedUplink *uplink = nullptr);

    // Call for each datagram as it is written. `queueEmptyAfter`: the caller
    // has nothing more queued for this destination after it. Returns the
    // datagram's txn; *askFeedback (if given) tells whether it should carry
    // the flag asking for feedback at once (at most about one in 16).
    uint32_t onSent(int64_t nowUs, bool queueEmptyAfter, bool *askFeedback);

    // Feedback from the receiver: the newest txn it got, how long before
    // writing the feedback that datagram arrived, and how many paced
    // datagrams it got from this sender in all (wrapping).
    void onFeedback(int64_t nowUs, uint32_t newestTxn, int64_t holdUs, uint32_t receivedCount);

    // Call at every wake-up: runs the feedback timeout. When the window is
    // full, the caller must wake at least every two round trips.
    void onWake(int64_t nowUs);

    // An RTT measured otherwise (e.g. a request and its answer); used only
    // until feedback brings samples, to pace the first round.
    void setRttHint(int64_t us) { estimator.setRttHint(us); }

    double pacingRate() const;          // datagrams per second
    uint32_t inflightLimit() const;     // datagrams
    uint32_t inflight() const { return estimator.inflight(); } // last txn sent - newest reported (or taken as lost)
    int64_t smoothedRttUs() const { return estimator.srttUs(); } // 0 while unknown
    int64_t minRttUs() const { return estimator.minRttUs(); }     // 0 while unknown
    int64_t lastFeedbackUs() const { return estimator.lastFeedbackUs(); } // 0 before any

    double bottleneckRate() const { return estimate(); } // the rate estimate (datagrams per second), 0 while unknown
    State state() const { return states.state(); }
    uint64_t lostEstimate() const { return estimator.lostEstimate(); }
    double randomLoss() const { return lossJudge.randomLoss(); } // the share lost whatever the rate
    Counters counters() const;

private:
    double estimate() const;        // min(bottleneck rate, loss cap), or the even share, 0 while unknown
    double bdp() const;             // datagrams the path holds at the estimate
    double feedbackAllowance() const;
    double drainTarget() const;
    void endRound(int64_t nowUs, bool appLimited);
    double ownEstimate() const;     // the estimate without the uplink's even share
    void shareRound(int64_t nowUs, const RateEstimator::Round &round, bool appLimited, bool lifted);

    RateEstimator estimator;
    LossJudge lossJudge;
    DelayJudge delayJudge;
    RateStateMachine states;
    FeedbackWatch watch;
    int64_t lowestMinRttUs = 0; // the lowest minimum round trip the path had

    // The shared uplink: the even share as last asked, and while this path
    // showed congestion of its own, none (it has a bottleneck of its own).
    SharedUplink *uplink;
    uint64_t uplinkId = 0;
    double floor = 0;
    bool uplinkShared = false; // other paths of the uplink were active lately
    int64_t floorBlockedUntilUs = 0;
    uint64_t shareBlocks = 0;
};
