#include "secure/initiation_log.h"

#include <algorithm>
#include <cstring>

#include "secure/primitives.h"

namespace secure {

void InitiationLog::reset(const uint8_t fingerprintKey[16])
{
    std::memcpy(key, fingerprintKey, sizeof key);
    ids.clear();
    byStamp.clear();
    floorUs = INT64_MIN;
}

uint64_t InitiationLog::fingerprint(const uint8_t ephemeral[32]) const { return shortHash(key, ephemeral, 32); }

bool InitiationLog::fresh(int64_t stampUs, int64_t wallUs) const
{
    // Any two stamps differ by less than 2^64: the unsigned difference is exact.
    const uint64_t off = stampUs > wallUs ? uint64_t(stampUs) - uint64_t(wallUs) : uint64_t(wallUs) - uint64_t(stampUs);
    return off <= uint64_t(limits.freshnessUs) && stampUs > floorUs;
}

void InitiationLog::remember(uint64_t id, int64_t stampUs, int64_t wallUs)
{
    while (!byStamp.empty() && byStamp.begin()->first < wallUs - limits.freshnessUs) {
        ids.erase(byStamp.begin()->second);
        byStamp.erase(byStamp.begin());
    }
    if (!ids.insert(id).second)
        return;
    if (byStamp.size() >= limits.seenInitiations && !byStamp.empty()) {
        floorUs = std::max(floorUs, byStamp.begin()->first);
        ids.erase(byStamp.begin()->second);
        byStamp.erase(byStamp.begin());
    }
    byStamp.emplace(stampUs, id);
}

// A map node and a set node with their bookkeeping, roughly.
size_t InitiationLog::bytes() const { return byStamp.size() * 96; }

} // namespace secure
