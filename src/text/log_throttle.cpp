#include "text/log_throttle.h"

namespace {
constexpr quint64 kShared = ~quint64(0);
constexpr int64_t kPruneEveryUs = 1000000;
} // namespace

bool LogThrottle::allow(quint64 source, int64_t nowUs, int *count)
{
    auto it = entries.find(source);
    if (it == entries.end() && entries.size() >= kMaxSources && nowUs - lastPruneUs >= kPruneEveryUs) {
        lastPruneUs = nowUs;
        entries.removeIf([nowUs](const auto &e) { return nowUs - e.value().lastUs >= kPeriodUs; });
    }
    if (it == entries.end())
        it = entries.size() < kMaxSources ? entries.insert(source, Entry{}) : entries.find(kShared);
    if (it == entries.end())
        it = entries.insert(kShared, Entry{});
    Entry &e = it.value();
    if (e.lastUs != 0 && nowUs - e.lastUs < kPeriodUs) {
        ++e.skipped;
        return false;
    }
    if (count)
        *count = e.skipped + 1;
    e.skipped = 0;
    e.lastUs = nowUs;
    return true;
}
