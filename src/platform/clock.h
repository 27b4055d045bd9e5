// The one monotonic clock of the library: loss recovery, pacing, feedback,
// deadlines and the answer window of registrations all read it.
#pragma once

#include <cstdint>

namespace platform {

// Microseconds since an arbitrary start; never 0, which marks "not yet".
int64_t monotonicUs();
inline int64_t monotonicMs() { return monotonicUs() / 1000; }

// Replaces the clock (microseconds), for tests that step time by hand; null
// restores the real one.
using ClockFunction = int64_t (*)();
void setClockFunction(ClockFunction fn);

} // namespace platform
