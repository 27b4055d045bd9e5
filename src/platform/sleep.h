// The short sleep between rounds of event processing.
#pragma once

namespace platform {

void sleepMs(int ms);

// Replaces the sleep, for the fuzzer which would otherwise spend its time
// asleep; null restores the real one.
using SleepFunction = void (*)(int ms);
void setSleepFunction(SleepFunction fn);

} // namespace platform
