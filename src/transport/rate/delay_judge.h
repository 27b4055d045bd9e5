// Judges the round trip: a round whose smallest round trip stands more than
// the delay ceiling (30 ms) above the minimum shows a queue filling. While
// probing, the sender then backs off to what that round delivered; when two
// back-offs in a row leave the queue standing, it is another flow's (a
// loss-based one keeps it full): the standing round trip becomes the
// minimum and the rate goes back to half what it was, an even share, so the
// sender competes rather than starves.
#pragma once

#include <cstdint>

class DelayJudge {
public:
    // The path as a round ends.
    struct Round {
        uint64_t count = 0;
        int64_t roundMinRttUs = 0; // the round's smallest sample (0: none)
        double roundMaxRate = 0;   // its largest rate sample (0: none)
        int64_t minRttUs = 0;      // the path's minimum (0 while unknown)
        double rate = 0;           // the rate estimate (0 while unknown)
        bool startup = false;
        bool probing = false;      // probing bandwidth, not draining or probing the round trip
    };
    struct Verdict {
        enum Kind { None, QueueFull, BackOff, QueueAccepted };
        Kind kind = None;          // QueueFull: start-up built a queue
        double restartRate = 0;    // the rate estimate starts again here (0: no)
        int64_t minRttUs = 0;      // QueueAccepted: the new minimum
    };

    // A round-trip sample against the minimum; true when it is the second
    // in a row above the ceiling (one may be jitter).
    bool onRttSample(int64_t rttUs, int64_t minRttUs);
    Verdict endRound(const Round &round);

    uint64_t backoffs() const { return delayBackoffs; }
    uint64_t standingQueuesAccepted() const { return accepted; }

private:
    int highRttSamples = 0;       // in a row, above the ceiling
    uint64_t lastBackoffRound = 0, lastClearRound = 0;
    int futileBackoffs = 0;
    double rateBeforeBackoffs = 0;
    int holdRounds = 0;           // rounds a back-off is given to take effect
    uint64_t delayBackoffs = 0, accepted = 0;
};
