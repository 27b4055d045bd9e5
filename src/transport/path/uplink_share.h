// The uplink that all paths of this unit leave through, as their controllers
// see it: the delivery rate each active path measured, and the largest sum of
// them over the last second, which an even share is taken from.
#pragma once

#include <cstddef>
#include <vector>

#include "transport/rate/shared_uplink.h"

class UplinkShare : public SharedUplink {
public:
    static constexpr size_t kMaxEntries = 4096;  // one per path at most
    static constexpr int64_t kSlotUs = 250000;   // the peak is kept per quarter second
    static constexpr int kSlots = 4;             // for a second

    uint64_t join() override { return ++joined; }
    void delivered(uint64_t path, const Round &round, int64_t nowUs) override;
    Share evenShare(uint64_t path, int64_t nowUs) const override;

    int activePaths(int64_t nowUs) const; // paths that told lately

private:
    struct Entry {
        uint64_t path = 0;
        double rate = 0;     // smoothed over its rounds
        int64_t queueUs = 0; // its last round's
        int64_t freshUntilUs = 0;
    };
    struct Slot {
        int64_t index = -1;  // nowUs / kSlotUs
        double sum = 0;      // the largest sum of the active paths' rates in it
        int paths = 0;       // the most active paths in it
    };

    std::vector<Entry> entries;
    Slot peaks[kSlots];
    uint64_t joined = 0;
};
