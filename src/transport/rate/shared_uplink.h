// What the rate controllers of paths that leave through one uplink tell each
// other, through its owner: each path's delivery rate as its rounds end, and
// in return the even share of what the uplink delivered lately. A path that
// is not congested itself paces at least at that share, so a path left alone
// takes the uplink at once and a path below an even share rises to it.
#pragma once

#include <cstdint>

class SharedUplink {
public:
    virtual ~SharedUplink() = default;

    // A number naming a new path's controller to the calls below.
    virtual uint64_t join() = 0;
    // What a path measured over its last round: the datagrams per second it
    // delivered and how far its smallest round trip stood above its minimum.
    struct Round {
        double rate = 0;
        int64_t queueUs = 0;
        int64_t freshUntilUs = 0; // it counts as active until then unless it tells again
    };
    struct Share {
        double rate = 0;          // the even share; 0 while unknown or unless several paths shared it lately
        int64_t othersQueueUs = 0; // the least queue the other active paths saw (0: none active)
    };

    virtual void delivered(uint64_t path, const Round &round, int64_t nowUs) = 0;
    // The uplink's recent delivered rate over its active paths (counting
    // this one), and the queue the others see: a queue of the path's own
    // lies beyond its uplink.
    virtual Share evenShare(uint64_t path, int64_t nowUs) const = 0;
};
