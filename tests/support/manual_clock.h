// Replaces the unit's recovery clock with one the test steps by hand. While
// it is set no recovery timer is armed: the test runs the passes itself.
#pragma once

#include <cstdint>

#include "platform/clock.h"

struct ManualClock {
    ManualClock() { platform::setClockFunction(&ManualClock::read); now() = 1000; }
    ~ManualClock() { platform::setClockFunction(nullptr); }
    ManualClock(const ManualClock &) = delete;
    ManualClock &operator=(const ManualClock &) = delete;

    void advance(int64_t ms) { now() += ms; }
    static int64_t &now()
    {
        static int64_t ms = 1000;
        return ms;
    }
    static int64_t read() { return now(); }
};
