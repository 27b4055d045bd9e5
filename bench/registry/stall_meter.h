// How long the server's event loop stood still: the application times every
// event it delivers at the outermost level (a timer's handler, a socket's
// datagrams, a queued call) in the server thread's CPU time, so a tick, a
// push, an expiry or a read turn that holds the loop shows as one long
// delivery, and the time the fifty client processes on the same two cores
// take from the server does not. Nested deliveries count within the outer
// one.
#pragma once

#include <QCoreApplication>

namespace bench {

class TimedApplication : public QCoreApplication {
public:
    TimedApplication(int &argc, char **argv) : QCoreApplication(argc, argv) {}
    bool notify(QObject *receiver, QEvent *event) override;

    // The longest delivery since the last reset, and those over 10 ms.
    static void resetStalls();
    static double maxStallMs();
    static qint64 stallsOver10Ms();
};

// The stalls of one phase of the server.
class StallMeter {
public:
    StallMeter() { reset(); }
    void reset() { TimedApplication::resetStalls(); }
    double maxMs() const { return TimedApplication::maxStallMs(); }
    qint64 over10Ms() const { return TimedApplication::stallsOver10Ms(); }
};

} // namespace bench
