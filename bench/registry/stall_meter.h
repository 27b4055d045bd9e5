// How long the server's event loop went without turning: a timer asks to
// run every 5 ms, and each gap beyond that is a stall (the server computing
// without looking at its socket or timers). Runs inside nested waits too.
#pragma once

#include <QElapsedTimer>
#include <QTimer>

namespace bench {

class StallMeter {
public:
    StallMeter();
    void reset();
    double maxMs() const { return double(maxNs_) / 1e6; }
    qint64 over10Ms() const { return over10_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 lastNs_ = 0, maxNs_ = 0, over10_ = 0;
};

} // namespace bench
