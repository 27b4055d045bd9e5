// Replaces the library's clock with one the test steps by hand.
#pragma once

#include <cstdint>

#include "platform/clock.h"

struct ManualClock {
    ManualClock() { platform::setClockFunction(&ManualClock::read); us() = 1000000; }
    ~ManualClock() { platform::setClockFunction(nullptr); }
    ManualClock(const ManualClock &) = delete;
    ManualClock &operator=(const ManualClock &) = delete;

    void advance(int64_t ms) { us() += ms * 1000; }
    void advanceUs(int64_t step) { us() += step; }
    static int64_t read() { return us(); }

private:
    static int64_t &us()
    {
        static int64_t now = 1000000;
        return now;
    }
};
