// The responder's memory of initiations it has taken, by a keyed fingerprint
// of their ephemeral key, so that a copy of one (a replay by someone who
// captured it) delivers nothing twice. An initiation is fresh when its stamp
// lies within the freshness window of our clock and after every stamp this
// log had to forget for room; only a fresh one that is not remembered has its
// datagram delivered at once. An entry is forgotten once its stamp has left
// the window (a copy would be stale). Bounded: when full, the entry with the
// earliest stamp goes and its stamp becomes the floor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <climits>
#include <map>
#include <unordered_set>

#include "secure/limits.h"

namespace secure {

class InitiationLog {
public:
    explicit InitiationLog(const Limits &limits) : limits(limits) {}

    void reset(const uint8_t fingerprintKey[16]);
    uint64_t fingerprint(const uint8_t ephemeral[32]) const;
    bool seen(uint64_t id) const { return ids.count(id) != 0; }
    bool fresh(int64_t stampUs, int64_t wallUs) const;
    void remember(uint64_t id, int64_t stampUs, int64_t wallUs);
    size_t bytes() const;

private:
    const Limits &limits;
    uint8_t key[16] = {};
    std::unordered_set<uint64_t> ids;
    std::multimap<int64_t, uint64_t> byStamp;
    int64_t floorUs = INT64_MIN;
};

} // namespace secure
