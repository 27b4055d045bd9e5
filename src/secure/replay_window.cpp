#include "secure/replay_window.h"

namespace secure {

bool ReplayWindow::check(uint64_t counter) const
{
    if (!any || counter > highest)
        return true;
    if (highest - counter >= kSize)
        return false;
    return !(bits[(counter / 64) % kWords] >> (counter % 64) & 1);
}

void ReplayWindow::commit(uint64_t counter)
{
    if (!any || counter > highest) {
        const uint64_t fromWord = any ? highest / 64 + 1 : 0;
        const uint64_t toWord = counter / 64;
        // Words the window moves into are cleared for the counters they now stand for.
        if (!any || (toWord >= fromWord && toWord - fromWord >= kWords))
            bits.fill(0);
        else
            for (uint64_t w = fromWord; w <= toWord; ++w)
                bits[w % kWords] = 0;
        highest = counter;
        any = true;
    }
    bits[(counter / 64) % kWords] |= uint64_t(1) << (counter % 64);
}

} // namespace secure
