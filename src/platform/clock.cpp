#include "platform/clock.h"

#include <QElapsedTimer>

namespace platform {

namespace {
ClockFunction clockOverride = nullptr;
}

int64_t monotonicUs()
{
    if (clockOverride)
        return clockOverride();
    static const QElapsedTimer start = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return start.nsecsElapsed() / 1000 + 1000; // never 0, and whole ms from 1 on
}

void setClockFunction(ClockFunction fn) { clockOverride = fn; }

} // namespace platform
