#include "transport/rate/rate_state_machine.h"

#include <algorithm>

namespace {
constexpr double kStartupGain = 2.885; // 2 / ln 2: doubles the delivery rate each round
constexpr double kGentleStartupGain = 1.1;
constexpr double kCwndGain = 2;
constexpr double kProbeGains[8] = {1.25, 0.75, 1, 1, 1, 1, 1, 1};
constexpr double kProbeStep = 8;       // datagrams a min round trip
constexpr double kMaxProbeStep = 0.25; // of the rate
constexpr double kBackoffGain = 0.75;
constexpr int64_t kProbeRttUs = 200000;
constexpr int64_t kMinPhaseUs = 2000;
constexpr double kFullRateGrowth = 1.25;
constexpr int kFullRateRounds = 3;
constexpr uint64_t kMaxDrainRounds = 3;
} // namespace

RateStateMachine::RateStateMachine(uint32_t seed) : startupGain(kStartupGain), seed(seed) {}

double RateStateMachine::pacingGain() const
{
    switch (state_) {
    case State::Startup: return startupGain;
    case State::Drain: return drainGain;
    case State::ProbeBandwidth: return kProbeGains[phase];
    case State::ProbeRtt: return 1;
    }
    return 1;
}

double RateStateMachine::probeStep(double rate, int64_t minRttUs) const
{
    if (state_ != State::ProbeBandwidth || phase != 0 || minRttUs <= 0)
        return 0;
    return std::min(kProbeStep * 1e6 / double(std::max(minRttUs, kMinPhaseUs)), kMaxProbeStep * rate);
}

double RateStateMachine::inflightTarget(double bdp, double feedbackAllowance) const
{
    return state_ == State::ProbeRtt ? 0.5 * bdp : kCwndGain * bdp + feedbackAllowance;
}

void RateStateMachine::startGently()
{
    if (state_ == State::Startup)
        startupGain = kGentleStartupGain;
}

void RateStateMachine::minRttExpired()
{
    if (state_ != State::ProbeRtt && state_ != State::Startup) {
        state_ = State::ProbeRtt;
        probeRttDoneUs = 0;
    }
}

void RateStateMachine::lossCut(int64_t nowUs)
{
    if (state_ == State::ProbeBandwidth && phase == 0)
        enterProbeBandwidth(nowUs, 1);
}

void RateStateMachine::backOff()
{
    enterDrain(kBackoffGain);
}

void RateStateMachine::enterDrain(double gain)
{
    drainGain = gain;
    drainRounds = 0;
    state_ = State::Drain;
}

void RateStateMachine::enterProbeBandwidth(int64_t nowUs, int startPhase)
{
    state_ = State::ProbeBandwidth;
    phase = startPhase;
    phaseStartUs = nowUs;
}

void RateStateMachine::nextPhase(int64_t nowUs, int64_t minRttUs, bool drained)
{
    if (nowUs - phaseStartUs > std::max(kMinPhaseUs, minRttUs) || drained) {
        phase = (phase + 1) % 8;
        phaseStartUs = nowUs;
    }
}

void RateStateMachine::endRound(bool appLimited, double rate)
{
    if (state_ == State::Startup && !appLimited && rate > 0) {
        if (rate >= fullRate * kFullRateGrowth) {
            fullRate = rate;
            fullRateRounds = 0;
        } else if (++fullRateRounds >= kFullRateRounds) {
            fullRateReached = true;
        }
    }
    if (state_ == State::Drain)
        ++drainRounds;
}

bool RateStateMachine::advance(int64_t nowUs, const Flight &flight)
{
    switch (state_) {
    case State::Startup:
        if (fullRateReached)
            enterDrain(1 / startupGain);
        break;
    case State::Drain:
        if (flight.inflight <= flight.drainTarget || drainRounds >= kMaxDrainRounds) {
            // Start the cycle anywhere but in its draining phase.
            seed = seed * 1103515245u + 12345u;
            const int start = int((seed >> 16) % 7);
            enterProbeBandwidth(nowUs, start == 1 ? 7 : start);
        }
        break;
    case State::ProbeBandwidth:
        nextPhase(nowUs, flight.minRttUs, phase == 1 && flight.inflight <= flight.drainTarget);
        break;
    case State::ProbeRtt:
        if (probeRttDoneUs == 0 && flight.inflight <= flight.limit) {
            probeRttDoneUs = nowUs + std::max(kProbeRttUs, flight.minRttUs);
            probeRttRound = flight.round + 1;
        } else if (probeRttDoneUs != 0 && nowUs >= probeRttDoneUs && flight.round >= probeRttRound) {
            if (fullRateReached)
                enterProbeBandwidth(nowUs, 2);
            else
                state_ = State::Startup;
            return true;
        }
        break;
    }
    return false;
}

void RateStateMachine::onWake(int64_t nowUs, int64_t minRttUs)
{
    if (state_ == State::ProbeBandwidth)
        nextPhase(nowUs, minRttUs, false);
}
