#include "platform/sleep.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <ctime>
#include <cerrno>
#endif

namespace platform {

namespace {
SleepFunction sleepOverride = nullptr;
}

void setSleepFunction(SleepFunction fn) { sleepOverride = fn; }

bool sleepReplaced() { return sleepOverride != nullptr; }

void sleepMs(int ms)
{
    if (sleepOverride) {
        sleepOverride(ms);
        return;
    }
#if defined(_WIN32)
    Sleep(static_cast<DWORD>(ms));
#else
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
#endif
}

void sleepNs(long long ns)
{
    if (ns <= 0)
        return;
    if (sleepOverride) {
        sleepOverride(static_cast<int>((ns + 999999) / 1000000));
        return;
    }
#if defined(_WIN32)
    Sleep(static_cast<DWORD>((ns + 999999) / 1000000));
#else
    timespec left{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (nanosleep(&left, &left) == -1 && errno == EINTR) {
    }
#endif
}

} // namespace platform
