#include "stall_meter.h"

#include <algorithm>
#include <ctime>

namespace bench {

namespace {
// The thread's CPU time: the clients share the two cores, and a delivery
// preempted by them would otherwise count their work as the server's.
qint64 threadCpuNs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

int depth = 0;
qint64 maxNs = 0;
qint64 over10 = 0;
} // namespace

bool TimedApplication::notify(QObject *receiver, QEvent *event)
{
    if (depth > 0)
        return QCoreApplication::notify(receiver, event);
    const qint64 start = threadCpuNs();
    ++depth;
    const bool handled = QCoreApplication::notify(receiver, event);
    --depth;
    const qint64 ns = threadCpuNs() - start;
    maxNs = std::max(maxNs, ns);
    over10 += ns > 10000000;
    return handled;
}

void TimedApplication::resetStalls()
{
    maxNs = 0;
    over10 = 0;
}

double TimedApplication::maxStallMs() { return double(maxNs) / 1e6; }

qint64 TimedApplication::stallsOver10Ms() { return over10; }

} // namespace bench
