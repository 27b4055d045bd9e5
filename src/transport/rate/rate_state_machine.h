// The controller's states and the gains they send at:
//   Startup        2.885 x the rate (doubling it each round) until the rate
//                  grew less than 25 % in 3 rounds, or a judge finds a queue;
//                  1.1 x once the first round showed the bottleneck's rate
//                  on a long path (see startGently);
//   Drain          1/2.885 (1/1.1 after the long path's start-up, 0.75
//                  after a delay back-off) until what is in
//                  flight fits the path again (at most 3 rounds);
//   ProbeBandwidth 1.25, 0.75, then 1 x 6, each for a min round trip (at
//                  least 2 ms): probes for more rate, then drains the queue
//                  that probing built; probing also adds 8 datagrams a min
//                  round trip (at most a quarter of the rate more);
//   ProbeRtt       when the min round trip is 10 s old: in flight held to
//                  half the path's content for 200 ms and a round.
#pragma once

#include <cstdint>

class RateStateMachine {
public:
    enum class State { Startup, Drain, ProbeBandwidth, ProbeRtt };

    // What is in flight against what the path holds, as the state may move on.
    struct Flight {
        uint32_t inflight = 0;
        double drainTarget = 0; // in flight with no queue built
        uint32_t limit = 0;     // the in-flight limit
        int64_t minRttUs = 0;
        uint64_t round = 0;
    };

    explicit RateStateMachine(uint32_t seed);

    State state() const { return state_; }
    double pacingGain() const;
    // Datagrams per second that probing adds to the gain's rate: the same
    // step for every flow over a path, where a gain alone keeps whatever
    // ratio flows sharing a bottleneck had, so the flow that came later
    // would keep the smaller share.
    double probeStep(double rate, int64_t minRttUs) const;
    // Datagrams allowed in flight, from what the path holds and what one
    // feedback interval brings.
    double inflightTarget(double bdp, double feedbackAllowance) const;

    void queueFull() { fullRateReached = true; } // start-up has filled the path
    // The first round's datagrams, written at once, queued at the path's
    // bottleneck: the rate is known, and on a long path doubling would
    // overfill the queue a round trip before the round trip shows it.
    // Start-up goes on at 1.1 x (the queue it builds until the round trip
    // shows it stays near a tenth of that round trip), its drain at 1 / 1.1.
    void startGently();
    void minRttExpired();
    void lossCut(int64_t nowUs);                 // probing for more stops
    void backOff();                              // drain the queue a round trip showed
    // A round ended: start-up checks its growth, a drain counts its rounds.
    void endRound(bool appLimited, double rate);
    // After feedback; returns true when ProbeRtt ends (its minimum is fresh).
    bool advance(int64_t nowUs, const Flight &flight);
    // At a wake-up: probing phases last a min round trip, feedback or not.
    void onWake(int64_t nowUs, int64_t minRttUs);

private:
    void enterProbeBandwidth(int64_t nowUs, int startPhase);
    void enterDrain(double gain);
    void nextPhase(int64_t nowUs, int64_t minRttUs, bool drained);

    State state_ = State::Startup;
    double startupGain;
    double drainGain = 1;
    uint64_t drainRounds = 0;
    int phase = 0;
    int64_t phaseStartUs = 0;
    int64_t probeRttDoneUs = 0;
    uint64_t probeRttRound = 0;
    double fullRate = 0;
    int fullRateRounds = 0;
    bool fullRateReached = false;
    uint32_t seed;
};
