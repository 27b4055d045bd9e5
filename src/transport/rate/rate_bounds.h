// Figures that the parts of a path's rate control share: the bounds every
// rate stays inside, the sender's wake-up period, and the round trip above
// its minimum that counts as a queue.
#pragma once

#include <cstdint>

struct RateBounds {
    static constexpr double kMinRate = 10;             // datagrams per second
    static constexpr double kMaxRate = 1e7;
    static constexpr int64_t kWakeUs = 1000;           // the sender's wake-up period
    static constexpr int64_t kDelayCeilingUs = 30000;  // above the minimum round trip: a queue
};
