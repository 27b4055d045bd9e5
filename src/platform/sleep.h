// The short sleep between rounds of event processing.
#pragma once

namespace platform {

void sleepMs(int ms);

// Sleeps for ns nanoseconds where the system allows it (whole milliseconds
// elsewhere). A replacement sleep is called with ns in milliseconds, rounded up.
void sleepNs(long long ns);

// Replaces the sleep, for the fuzzer which would otherwise spend its time
// asleep; null restores the real one. While a replacement is set, a wait
// runs one round of event processing, whatever its length.
using SleepFunction = void (*)(int ms);
void setSleepFunction(SleepFunction fn);
bool sleepReplaced();

} // namespace platform
