// When the sender asks the receiver for feedback at once, and what it does
// while feedback stays away. It asks at the 8th and 16th datagram of the
// first round, about twice a round in Startup and Drain, otherwise when a
// datagram fills the window or empties the queue (at most once per 16).
// With the window full and no feedback for two round trips, the feedback
// that would open it was lost: one more datagram may go, asking (up to 8).
// After a longer silence (4 round trips, 250 ms to 1 s) what is in flight is
// taken as lost and 4 datagrams may be in flight until feedback returns.
#pragma once

#include <cstdint>

class FeedbackWatch {
public:
    // The sender as a datagram is written.
    struct Sending {
        uint64_t seq = 0;            // the datagram's sequence number (1, 2, ...)
        bool firstFlight = false;    // no feedback has reported anything yet
        bool growing = false;        // Startup or Drain
        bool queueEmptyAfter = false;
        double bdp = 0;              // datagrams the path holds
        uint32_t inflight = 0;       // with this datagram
        uint32_t limit = 0;          // the in-flight limit
    };
    // The sender at a wake-up.
    struct Waiting {
        uint32_t inflight = 0;
        uint32_t limit = 0;
        int64_t srttUs = 0;          // 0 while unknown
        int64_t rttHintUs = 0;
    };

    explicit FeedbackWatch(int64_t nowUs) : timeoutRefUs(nowUs) {}

    // Before a datagram is written: the timeout counts from the first in flight.
    void beforeSend(int64_t nowUs, bool nothingInFlight);
    // Whether the datagram just written asks for feedback at once.
    bool ask(const Sending &s);
    void onFeedback(int64_t nowUs);
    // At a wake-up with datagrams in flight; true when the silence timed
    // out (what is in flight is lost).
    bool onWake(int64_t nowUs, const Waiting &w);

    bool afterTimeout() const { return afterTimeout_; }
    uint32_t probes() const { return probes_; } // datagrams allowed beyond a full window
    int timeoutsInRow() const { return timeoutBackoff; }
    uint64_t timeouts() const { return timeouts_; }

private:
    int64_t timeoutRefUs;
    int timeoutBackoff = 0;
    bool afterTimeout_ = false;
    uint32_t probes_ = 0;
    int64_t lastProbeUs = 0;
    bool askNext = false;
    uint32_t sinceAsk = 0;
    uint64_t timeouts_ = 0;
};
