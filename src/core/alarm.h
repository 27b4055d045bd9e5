// A single-shot timer armed for the earliest of the times asked for: the
// parts that have work due later arm it, and its owner runs them all when it
// rings.
#pragma once

#include <QtGlobal>
#include <functional>

class QObject;
class QTimer;

class Alarm {
public:
    // The timer is a child of `owner`, like every timer of the unit; at most
    // `maxDelayMs` ahead.
    Alarm(QObject *owner, int64_t maxDelayMs);
    Alarm(const Alarm &) = delete;
    Alarm &operator=(const Alarm &) = delete;

    void setRing(std::function<void()> fn) { ring = std::move(fn); }
    // Rings at dueMs (monotonic ms) unless armed for earlier; 0: not at all.
    void arm(int64_t dueMs);
    void stop();
    bool isActive() const;
    QTimer *timer() const { return t; }

private:
    QTimer *t;
    int64_t maxDelayMs;
    std::function<void()> ring;
};
