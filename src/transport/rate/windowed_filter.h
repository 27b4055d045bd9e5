// The best (largest or smallest) of the samples taken over a sliding window,
// kept in three slots: the best, the second best of the time after it, and
// the third of the time after that (Nichols' algorithm). When the best ages
// out of the window the next takes its place, so the estimate follows a
// falling (or rising) signal within one window without storing every sample.
// The window is counted in any monotonic unit: rounds, or microseconds.
#pragma once

#include <cstdint>

template <typename T, typename Better>
class WindowedFilter {
public:
    explicit WindowedFilter(int64_t window) : window(window) {}

    T best() const { return slot[0].value; }
    bool empty() const { return !filled; }

    // Forgets everything and starts again from `value` at `time`.
    void reset(T value, int64_t time)
    {
        slot[0] = slot[1] = slot[2] = Sample{value, time};
        filled = true;
    }

    void update(T value, int64_t time)
    {
        const Better better;
        if (!filled || !better(slot[0].value, value) || time - slot[2].time > window) {
            reset(value, time);
            return;
        }
        if (!better(slot[1].value, value))
            slot[1] = slot[2] = Sample{value, time};
        else if (!better(slot[2].value, value))
            slot[2] = Sample{value, time};

        // Age out the best; the runners-up move up.
        if (time - slot[0].time > window) {
            slot[0] = slot[1];
            slot[1] = slot[2];
            slot[2] = Sample{value, time};
            if (time - slot[0].time > window) {
                slot[0] = slot[1];
                slot[1] = slot[2];
            }
            return;
        }
        // Keep the runners-up spread over the window: a second best older
        // than a quarter of it, or a third older than half, is replaced.
        if (slot[1].value == slot[0].value && time - slot[1].time > window / 4)
            slot[1] = slot[2] = Sample{value, time};
        else if (slot[2].value == slot[1].value && time - slot[2].time > window / 2)
            slot[2] = Sample{value, time};
    }

private:
    struct Sample {
        T value{};
        int64_t time = 0;
    };
    int64_t window;
    Sample slot[3];
    bool filled = false;
};
