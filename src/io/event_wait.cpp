#include "io/event_wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include "core/lifetime.h"
#include "core/wait_generation.h"
#include "io/datagram_socket.h"
#include "platform/sleep.h"

namespace {
constexpr qint64 kRoundNs = 2000000; // one round of a wait: events, then sleep
constexpr qint64 kMaxLateNs = 500000;
// How late the system's sleeps wake up, learnt as they run. A round sleeps
// that much less, so it lasts about 2 ms and not 2 ms plus the lateness and
// the event processing.
thread_local qint64 wakeLateNs = 0;
thread_local quint64 roundsSlept = 0;
} // namespace

namespace io {

quint64 waitRounds() { return roundsSlept; }

void waitWithEvents(int ms)
{
    QElapsedTimer clock;
    clock.start();
    // What the handlers of a round make and let go of, no frame below this
    // wait can hold: it goes when the round ends.
    const quint64 generation = waitgen::begin();
    do {
        ++roundsSlept;
        const qint64 roundEnd = clock.nsecsElapsed() + kRoundNs;
        QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
        DatagramSocket::readNested();
        Lifetime::releaseBornSince(generation);
        if (platform::sleepReplaced()) {
            platform::sleepMs(2); // a replaced sleep stands for the whole wait
            return;
        }
        const qint64 wakeAt = roundEnd - wakeLateNs;
        const qint64 now = clock.nsecsElapsed();
        if (wakeAt > now) {
            platform::sleepNs(wakeAt - now);
            const qint64 late = clock.nsecsElapsed() - wakeAt;
            wakeLateNs = qBound<qint64>(0, wakeLateNs + (late - wakeLateNs) / 8, kMaxLateNs);
        }
    } while (clock.elapsed() < ms);
}

} // namespace io
