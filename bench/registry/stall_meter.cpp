#include "stall_meter.h"

#include <algorithm>

namespace bench {

namespace {
constexpr int kPeriodMs = 5;
} // namespace

StallMeter::StallMeter()
{
    clock_.start();
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        const qint64 now = clock_.nsecsElapsed();
        const qint64 stall = now - lastNs_ - kPeriodMs * 1000000LL;
        maxNs_ = std::max(maxNs_, stall);
        over10_ += stall > 10000000LL;
        lastNs_ = now;
    });
    timer_.start(kPeriodMs);
    reset();
}

void StallMeter::reset()
{
    lastNs_ = clock_.nsecsElapsed();
    maxNs_ = 0;
    over10_ = 0;
}

} // namespace bench
