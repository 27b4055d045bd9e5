// The uplink that all paths of this unit leave through, as their controllers
// see it: the delivery rate each active path measured, and the largest sum of
// them over the last second, which an even share is taken from.
//
// Every call costs about the same however many paths send (a server writes
// to thousands): the sum is kept as paths tell, and the paths that stopped
// telling are dropped, the sum counted afresh and the least queues found,
// once every kRefreshUs.
#pragma once

#include <cstddef>
#include <unordered_map>

#include "transport/rate/shared_uplink.h"

class UplinkShare : public SharedUplink {
public:
    static constexpr size_t kMaxEntries = 4096;  // one per path at most
    static constexpr int64_t kSlotUs = 250000;   // the peak is kept per quarter second
    static constexpr int kSlots = 4;             // for a second
    static constexpr int64_t kRefreshUs = 50000; // stale paths leave the sum this late at most

    uint64_t join() override { return ++joined; }
    void delivered(uint64_t path, const Round &round, int64_t nowUs) override;
    Share evenShare(uint64_t path, int64_t nowUs) const override;

private:
    struct Entry {
        double rate = 0;     // smoothed over its rounds
        int64_t queueUs = 0; // its last round's
        int64_t freshUntilUs = 0;
    };
    struct Slot {
        int64_t index = -1;  // nowUs / kSlotUs
        double sum = 0;      // the largest sum of the active paths' rates in it
        int paths = 0;       // the most active paths in it
    };

    void refresh(int64_t nowUs);

    std::unordered_map<uint64_t, Entry> entries;
    double sum = 0;               // of the entries' rates
    int active = 0;               // entries fresh at the last refresh, and those new since
    uint64_t leastQueuePath = 0;  // the entry with the least queue at the last refresh
    int64_t leastQueueUs = 0;     // its queue, and the least of the others
    int64_t nextLeastQueueUs = 0;
    int64_t refreshAtUs = 0;
    Slot peaks[kSlots];
    uint64_t joined = 0;
};
