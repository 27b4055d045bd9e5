#include "transport/path/uplink_share.h"

#include <algorithm>
#include <limits>

namespace {
constexpr double kSmoothing = 0.25; // a new round's weight in a path's rate
constexpr int64_t kNoQueue = std::numeric_limits<int64_t>::max();
} // namespace

void UplinkShare::refresh(int64_t nowUs)
{
    sum = 0;
    active = 0;
    leastQueuePath = 0;
    leastQueueUs = nextLeastQueueUs = kNoQueue;
    for (auto it = entries.begin(); it != entries.end();) {
        const Entry &e = it->second;
        if (e.freshUntilUs < nowUs) {
            it = entries.erase(it);
            continue;
        }
        sum += e.rate;
        ++active;
        if (e.queueUs < leastQueueUs) {
            nextLeastQueueUs = leastQueueUs;
            leastQueueUs = e.queueUs;
            leastQueuePath = it->first;
        } else {
            nextLeastQueueUs = std::min(nextLeastQueueUs, e.queueUs);
        }
        ++it;
    }
    refreshAtUs = nowUs + kRefreshUs;
}

void UplinkShare::delivered(uint64_t path, const Round &round, int64_t nowUs)
{
    const double rate = round.rate;
    if (!(rate > 0) || nowUs < 0)
        return;
    if (nowUs >= refreshAtUs)
        refresh(nowUs);
    auto it = entries.find(path);
    if (it == entries.end()) {
        if (entries.size() >= kMaxEntries)
            return;
        entries.emplace(path, Entry{rate, round.queueUs, round.freshUntilUs});
        sum += rate;
        ++active;
        if (leastQueuePath != path && round.queueUs < nextLeastQueueUs)
            nextLeastQueueUs = round.queueUs; // one more among the others
    } else {
        Entry &e = it->second;
        const double was = e.rate;
        e.rate = e.freshUntilUs < nowUs ? rate : e.rate + kSmoothing * (rate - e.rate);
        e.queueUs = round.queueUs;
        e.freshUntilUs = round.freshUntilUs;
        sum += e.rate - was;
    }
    const int64_t index = nowUs / kSlotUs;
    Slot &slot = peaks[index % kSlots];
    if (slot.index != index)
        slot = Slot{index, 0, 0};
    slot.sum = std::max(slot.sum, sum);
    slot.paths = std::max(slot.paths, active);
}

SharedUplink::Share UplinkShare::evenShare(uint64_t path, int64_t nowUs) const
{
    Share share;
    const int64_t index = nowUs / kSlotUs;
    double peak = 0;
    int most = 0;
    for (const Slot &slot : peaks)
        if (slot.index >= 0 && slot.index <= index && slot.index > index - kSlots) {
            peak = std::max(peak, slot.sum);
            most = std::max(most, slot.paths);
        }
    if (most < 2 || peak <= 0)
        return share; // no sharing seen lately: each path finds its own rate
    // This path and the others active as of the last refresh.
    const auto self = entries.find(path);
    const bool counted = self != entries.end() && self->second.freshUntilUs >= nowUs;
    const int paths = std::max(1, active + (counted ? 0 : 1));
    const int64_t othersQueue = leastQueuePath == path ? nextLeastQueueUs : leastQueueUs;
    share.othersQueueUs = othersQueue == kNoQueue ? 0 : othersQueue;
    share.rate = peak / double(paths);
    return share;
}
