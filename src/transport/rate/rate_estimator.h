// What a path delivers, from the datagrams written to it and the receiver's
// feedback: round-trip samples (smoothed, and the smallest of the last 10 s),
// delivery-rate samples (the largest of the last 10 rounds that had data to
// send), rounds (until a datagram written after a round's start is
// reported), and the datagrams the counts show lost. Feedback that names no
// datagram written, or one older than already reported, is ignored; the
// other bounds on untrusted feedback are kept here too (docs/path-protocol.md).
#pragma once

#include <cstdint>
#include <vector>

#include "transport/rate/windowed_filter.h"

class RateEstimator {
public:
    static constexpr uint32_t kRecords = 4096;     // send records: the most in flight
    static constexpr uint32_t kFirstRecords = 256; // the ring's size at first
    static constexpr int64_t kMinRttUs = 20;       // the shortest round trip a sample may give

    // What one feedback brought.
    struct Report {
        bool accepted = false;      // it names a datagram written, none older than reported
        uint64_t newest = 0;        // the datagram it names, 64-bit
        uint64_t advance = 0;       // datagrams it newly reports (0: no sample either)
        int64_t rttUs = 0;          // its round-trip sample (0: none)
        bool minRttExpired = false; // that sample replaced a minimum 10 s old
        bool roundEnded = false;
        bool roundAppLimited = false; // the round's sender ran short of data
        // A rate sample whose datagrams arrived at least twice as spread as
        // they were written: they queued at the path's bottleneck, and the
        // sample is its rate rather than the sender's.
        bool bottleneckSample = false;
    };
    // A round as it ends: its number, its smallest round trip and its
    // largest rate sample (0: none).
    struct Round {
        uint64_t count = 0;
        int64_t minRttUs = 0;
        double maxRate = 0;
    };

    // `firstTxn` is the number of the first datagram.
    RateEstimator(int64_t nowUs, uint32_t firstTxn);

    // A datagram written; `appLimited`: the sender has nothing more queued.
    // Returns its 64-bit sequence number (1, 2, ...).
    uint64_t onSent(int64_t nowUs, bool appLimited);
    uint32_t txnOf(uint64_t seq) const { return uint32_t(firstTxn + uint32_t(seq - 1)); }

    // Feedback: the newest txn received, how long it was held, the count of
    // datagrams received (wrapping). Rate samples are grossed up by
    // `randomLoss`; `startup` also takes the shorter span of start-up.
    Report onFeedback(int64_t nowUs, uint32_t newestTxn, int64_t holdUs, uint32_t receivedCount, double randomLoss,
                      bool startup);
    // Ends the round the last feedback completed (see Report::roundEnded).
    Round endRound(bool appLimited);

    // The estimate's window starts again from `rate` (once a rate is known).
    void restartRate(double rate);
    // A standing round trip taken as the new minimum.
    void setMinRtt(int64_t rttUs, int64_t nowUs);
    // The minimum was just seen again (queues drained): it is fresh.
    void renewMinRtt(int64_t nowUs) { minRttStampUs = nowUs; }
    // What is in flight is taken as lost (after a feedback timeout).
    void presumeLost() { presumedLostUpTo = sent_; }
    void setRttHint(int64_t us);

    double rate() const { return maxRate.empty() ? 0 : maxRate.best(); } // 0 while unknown
    int64_t srttUs() const { return srttUs_; }       // 0 while unknown
    int64_t minRttUs() const { return minRttUs_; }   // 0 while unknown
    int64_t rttHintUs() const { return rttHintUs_; }
    // The round trip the path's content is reckoned over: the minimum, else
    // the smoothed one, else the hint.
    int64_t pathRttUs() const { return minRttUs_ ? minRttUs_ : (srttUs_ ? srttUs_ : rttHintUs_); }
    int64_t lastHoldUs() const { return lastHoldUs_; }
    int64_t lastFeedbackUs() const { return lastFeedbackUs_; } // 0 before any
    uint64_t sent() const { return sent_; }
    uint64_t roundCount() const { return roundCount_; }
    uint32_t inflight() const;                       // written, not reported nor taken as lost
    uint64_t lostEstimate() const { return newest - delivered; }
    bool firstFlight() const { return feedbackSeq == 0; } // no feedback has reported anything new
    uint64_t feedbackIgnored() const { return ignored; }

private:
    static constexpr uint32_t kFeedbackSlots = 256;

    struct SendRecord {
        int64_t sentUs = 0;
        uint32_t feedbackSeq = 0; // the newest feedback known when it was written (low 32 bits)
        bool appLimited = false;
    };
    struct FeedbackRecord {
        uint64_t seq = 0;
        int64_t arrivalUs = 0;    // when its newest datagram arrived (sender's clock, minus the way back)
        uint64_t delivered = 0;
        uint64_t newest = 0;
        int64_t newestSentUs = 0;
        bool valid = false;
    };
    struct Max {
        bool operator()(double a, double b) const { return a > b; }
    };

    bool accept(int64_t nowUs, uint32_t newestTxn, uint32_t receivedCount, Report &report);
    void countDelivered(uint32_t receivedCount, uint64_t advance);
    void sample(int64_t nowUs, int64_t holdUs, double randomLoss, bool startup, Report &report);
    void takeRttSample(int64_t nowUs, int64_t rttUs, Report &report);
    // Takes a sample of at most `cap`; returns whether it is the bottleneck's (see Report).
    bool takeRateSample(const FeedbackRecord &now, const FeedbackRecord &before, bool appLimited, double randomLoss,
                        double cap);
    const FeedbackRecord *feedbackAt(uint32_t seq) const;
    void growRecords();

    uint32_t firstTxn;
    uint64_t sent_ = 0;             // datagrams written; the newest's 64-bit number
    uint64_t newest = 0;            // newest reported, 64-bit
    uint64_t delivered = 0;         // reported as received, up to newest
    uint32_t lastCount = 0;
    uint64_t presumedLostUpTo = 0;  // after a timeout
    uint64_t appLimitedUpTo = 0;
    uint64_t ignored = 0;

    std::vector<SendRecord> records = std::vector<SendRecord>(kFirstRecords); // a ring, size a power of two
    FeedbackRecord feedback[kFeedbackSlots];
    uint64_t feedbackSeq = 0;       // feedbacks taken

    WindowedFilter<double, Max> maxRate{10};
    uint64_t fullRounds = 0;        // rounds that were not short of data: the rate window's clock
    int64_t srttUs_ = 0, rttHintUs_ = 0;
    int64_t minRttUs_ = 0, minRttStampUs = 0;
    int64_t lastFeedbackUs_ = 0;
    int64_t lastHoldUs_ = 0;

    uint64_t roundCount_ = 0, roundEnd = 1;
    int64_t roundMinRttUs = 0;
    double roundMaxRate = 0;
};
