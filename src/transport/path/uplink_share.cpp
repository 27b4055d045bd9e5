#include "transport/path/uplink_share.h"

#include <algorithm>

namespace {
constexpr double kSmoothing = 0.25; // a new round's weight in a path's rate
} // namespace

void UplinkShare::delivered(uint64_t path, const Round &round, int64_t nowUs)
{
    const double rate = round.rate;
    if (!(rate > 0) || nowUs < 0)
        return;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const Entry &e) { return e.freshUntilUs < nowUs && e.path != path; }),
                  entries.end());
    auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry &e) { return e.path == path; });
    if (it == entries.end()) {
        if (entries.size() >= kMaxEntries)
            return;
        entries.push_back(Entry{path, rate, round.queueUs, round.freshUntilUs});
    } else {
        it->rate = it->freshUntilUs < nowUs ? rate : it->rate + kSmoothing * (rate - it->rate);
        it->queueUs = round.queueUs;
        it->freshUntilUs = round.freshUntilUs;
    }
    double sum = 0;
    for (const Entry &e : entries)
        sum += e.rate;
    const int64_t index = nowUs / kSlotUs;
    Slot &slot = peaks[index % kSlots];
    if (slot.index != index)
        slot = Slot{index, 0, 0};
    slot.sum = std::max(slot.sum, sum);
    slot.paths = std::max(slot.paths, int(entries.size()));
}

int UplinkShare::activePaths(int64_t nowUs) const
{
    return int(std::count_if(entries.begin(), entries.end(), [&](const Entry &e) { return e.freshUntilUs >= nowUs; }));
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
    int active = 1;
    bool first = true;
    for (const Entry &e : entries) {
        if (e.freshUntilUs < nowUs || e.path == path)
            continue;
        ++active;
        share.othersQueueUs = first ? e.queueUs : std::min(share.othersQueueUs, e.queueUs);
        first = false;
    }
    share.rate = peak / double(active);
    return share;
}
