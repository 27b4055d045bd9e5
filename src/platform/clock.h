// A monotonic clock in milliseconds for the loss-recovery timing.
#pragma once

#include <cstdint>

namespace platform {

int64_t monotonicMs();

// Replaces the clock, for tests that step time by hand; null restores the
// real one. While a replacement is set the unit arms no recovery timer: the
// test runs the recovery passes itself.
using ClockFunction = int64_t (*)();
void setClockFunction(ClockFunction fn);
bool clockReplaced();

} // namespace platform
