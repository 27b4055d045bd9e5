#include "core/alarm.h"

#include <QTimer>
#include <algorithm>

#include "platform/clock.h"

Alarm::Alarm(QObject *owner, int64_t maxDelayMs) : t(new QTimer(owner)), maxDelayMs(maxDelayMs)
{
    t->setSingleShot(true);
    t->setTimerType(Qt::PreciseTimer);
    QObject::connect(t, &QTimer::timeout, t, [this] {
        if (ring)
            ring();
    });
}

void Alarm::arm(int64_t dueMs)
{
    if (dueMs == 0)
        return;
    const int delay = static_cast<int>(std::clamp<int64_t>(dueMs - platform::monotonicMs(), 0, maxDelayMs));
    if (!t->isActive() || t->remainingTime() > delay)
        t->start(delay);
}

void Alarm::stop() { t->stop(); }

bool Alarm::isActive() const { return t->isActive(); }
