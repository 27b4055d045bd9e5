#include "platform/clock.h"

#include <QElapsedTimer>

namespace platform {

namespace {
ClockFunction clockOverride = nullptr;
}

int64_t monotonicMs()
{
    if (clockOverride)
        return clockOverride();
    static const QElapsedTimer start = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return start.elapsed() + 1; // never 0, which marks "not yet"
}

void setClockFunction(ClockFunction fn) { clockOverride = fn; }

bool clockReplaced() { return clockOverride != nullptr; }

} // namespace platform
