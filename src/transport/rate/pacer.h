// A token bucket that spreads a destination's datagrams at a given rate.
// Tokens accrue at the rate up to a depth of what accrues in two wake-up
// periods (at least two datagrams): a sender woken about every millisecond
// can then reach high rates in small bursts, and low rates stay smooth, one
// datagram at a time. After an idle spell the bucket holds at most that depth,
// so a sender never bursts out more than two periods' worth. Where timers wake
// later than asked (a system timer of 15.6 ms), the writer widens the depth to
// what accrues between its wake-ups, or the rate would fall with the timer.
#pragma once

#include <cstdint>

class Pacer {
public:
    static constexpr int64_t kDepthUs = 2000; // two wake-up periods
    static constexpr int64_t kMaxDepthUs = 20000;
    static constexpr double kMinDepth = 2;     // datagrams

    // The bucket starts full.
    explicit Pacer(int64_t nowUs, double ratePerSecond = 1000);

    // Takes a new rate (datagrams per second) from now on; tokens accrued so
    // far at the old rate are kept, up to the new depth. Rates that are not
    // positive and finite are refused (the old rate stays).
    void setRate(int64_t nowUs, double ratePerSecond);
    double rate() const { return ratePerSecond; }
    // Takes a depth of `us` worth of the rate, within [kDepthUs, kMaxDepthUs].
    void setDepthUs(int64_t us);
    int64_t depthUs() const { return depthSpanUs; }

    // How many whole datagrams may be written now.
    uint32_t allowance(int64_t nowUs);
    // Takes the tokens of `count` datagrams just written (never below empty
    // by more than one datagram: a caller that writes past its allowance
    // waits for the debt, not longer).
    void consume(int64_t nowUs, uint32_t count = 1);
    // When the next datagram is due: nowUs if one may be written now.
    int64_t nextDueUs(int64_t nowUs);

private:
    void refill(int64_t nowUs);
    double depth() const;

    double ratePerSecond;
    double tokens;
    int64_t lastUs;
    int64_t depthSpanUs = kDepthUs;
};
