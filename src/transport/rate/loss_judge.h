// Judges the loss feedback reports, telling random loss from a full queue's.
// Over spans of at least 48 reported datagrams, a span losing more than the
// random loss known explains is lossy: it caps the rate at 0.7 x the
// estimate; clean spans raise the cap again. After each cut, the datagrams
// written from a round later tell which loss it was: a queue's goes with the
// rate, random loss stays. Random loss found restores the rate, becomes the
// level spans are judged against, and grosses up the rate samples.
#pragma once

#include <cstdint>
#include <limits>

class LossJudge {
public:
    // The path as a round ends.
    struct Round {
        uint64_t count = 0;     // the round's number
        uint64_t sent = 0;      // datagrams written so far
        double rate = 0;        // the rate estimate (0 while unknown)
        int64_t minRttUs = 0;
        bool startup = false;
    };
    // What the judgement asks of the rest.
    struct Verdict {
        bool queueFull = false;  // a lossy span in start-up: the queue is full
        bool cut = false;        // the cap was cut: probing for more stops
        double restartRate = 0;  // the loss was random: the rate estimate starts again here (0: no)
    };

    // Feedback reported up to datagram `newest`; `lost` of those never arrived.
    void onReport(uint64_t newest, uint64_t lost);
    // A round-trip sample: a cut being judged watches for a queue.
    void onRttSample(int64_t rttUs);
    Verdict endRound(int64_t nowUs, const Round &round);
    // A feedback timeout: the cap halves once.
    void onTimeout(double rate);

    double cap() const { return lossCap; }               // infinite when loss does not bind
    double randomLoss() const { return randomLoss_; }    // the share lost whatever the rate
    uint64_t lossySpans() const { return lossyPeriods; }
    uint64_t randomLossFound() const { return randomFound; } // cuts after which the loss stayed
    uint64_t cutsUndone() const { return undone; }           // cuts whose loss arrived late after all

private:
    enum class Verify { None, Waiting, Counting };

    static bool beyond(uint64_t lost, uint64_t reported, double expected, double margin);
    double judgeCut(double rate, int64_t minRttUs);
    void undoIfLate(uint64_t late);
    void judgeSpan(int64_t nowUs, double rate, const Round &round, Verdict &verdict);
    void regrowCap(int64_t nowUs, double rate);

    double lossCap = std::numeric_limits<double>::infinity();
    double randomLoss_ = 0;
    int64_t cleanSinceUs = 0;       // the first of the clean spans in a row (0: none)
    int fasterSpans = 0;            // clean spans since the cap's growth speeds up
    uint64_t lossReported = 0, lossLost = 0, lossMark = 0, lostMark = 0;

    // After a cut: the loss of what is written once it took hold.
    Verify verifying = Verify::None;
    uint64_t verifyRound = 0, verifyFrom = 0, verifyReported = 0, verifyLost = 0;
    int64_t verifyMaxRttUs = 0, verifyMinRttUs = 0;
    double cutFromCap = 0, cutFromRate = 0;
    int64_t cutUs = 0;
    int deeperCuts = 0;

    uint64_t lossyPeriods = 0, randomFound = 0, undone = 0;
    uint64_t cutSpanLost = 0, cutSpanReported = 0; // the last span judged, then what came late of it
};
