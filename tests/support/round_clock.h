// Replaces the library's clock with one that advances 2 ms (a round's
// nominal length) with each round of event processing, and not otherwise.
// Units that talk over real sockets then see the same times however busy the
// machine is: a pause of the test process is no time to them, so their timed
// work (early resends, recovery rounds, pacing) comes after the same traffic
// in every run.
#pragma once

#include <cstdint>

#include "platform/clock.h"
#include "support/peer.h"

struct RoundClock {
    RoundClock() { platform::setClockFunction(&RoundClock::read); }
    ~RoundClock() { platform::setClockFunction(nullptr); }
    RoundClock(const RoundClock &) = delete;
    RoundClock &operator=(const RoundClock &) = delete;

    static int64_t read() { return 1000000 + int64_t(MUDPUnit::waitRounds()) * 2000; }
    static int64_t readMs() { return read() / 1000; }
    // Lets events run until ms have passed on this clock.
    static bool pass(int64_t ms)
    {
        const int64_t end = read() + ms * 1000;
        return pumpUntil([end] { return read() >= end; });
    }
};
