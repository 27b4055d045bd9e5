#include "transport/peer_path.h"

#include <algorithm>

#include "transport/endpoint.h"

namespace {
// Feedback is due at least every two round trips; a few more without any
// while datagrams are in flight, and the peer gets the protocol's own pace.
constexpr int64_t kSilentRoundTrips = 6;
constexpr int64_t kMinSilenceUs = 300000;
constexpr int64_t kMaxSilenceUs = 2000000;
// How long a sender's datagrams may say they hear none of our feedback
// before its losses are asked for with REQUESTs.
constexpr int64_t kUnheardRoundTrips = 8;
constexpr int64_t kMinUnheardUs = 500000;
} // namespace

bool PeerPath::capable(int64_t nowUs) const
{
    return markSeenUs != 0 && nowUs - markSeenUs < kMarkValidUs && !silent;
}

bool PeerPath::feedbackUnheard(int64_t nowUs) const
{
    const int64_t rttUs = std::max<int64_t>(senderRttMs, 1) * 1000;
    return unheardSinceUs != 0 && nowUs - unheardSinceUs > std::max(kUnheardRoundTrips * rttUs, kMinUnheardUs);
}

void PeerPath::makeRate(int64_t nowUs)
{
    if (rate)
        return;
    rate = std::make_unique<RateController>(nowUs, lastTxn + 1);
    pacer = std::make_unique<Pacer>(nowUs, rate->pacingRate());
}

int64_t PeerPath::silenceLimitUs() const
{
    const int64_t rtt = rate ? rate->smoothedRttUs() : 0;
    return std::clamp(kSilentRoundTrips * rtt, kMinSilenceUs, kMaxSilenceUs);
}

PeerPath *PathTable::find(quint64 id) const
{
    const auto it = paths.constFind(id);
    return it == paths.constEnd() ? nullptr : it.value()->get();
}

PeerPath *PathTable::obtain(quint32 address, quint16 port, int64_t nowUs, bool forSending)
{
    const quint64 id = transport::endpointId(address, port);
    const auto it = paths.find(id);
    if (it != paths.end()) {
        order.splice(order.begin(), order, it.value()); // most recently used first
        order.front()->lastUsedUs = nowUs;
        return order.front().get();
    }
    if (int(paths.size()) >= kMaxPaths) {
        // Let go of the path used longest ago that holds nothing in hand.
        auto victim = order.end();
        int looked = 0;
        for (auto i = order.end(); i != order.begin() && looked < 64; ++looked) {
            --i;
            const PeerPath &p = **i;
            if (!p.active && p.queue.isEmpty() && !p.feedbackDue && nowUs - p.lastUsedUs > kKeepUsedUs) {
                victim = i;
                break;
            }
        }
        if (victim != order.end()) {
            // Freed with the unit's other retired records, once no handler
            // can still hold it.
            paths.remove((*victim)->id);
            evicted.push_back(std::move(*victim));
            order.erase(victim);
        } else if (!forSending) {
            return nullptr;
        }
    }
    auto path = std::make_unique<PeerPath>();
    path->id = id;
    path->address = address;
    path->port = port;
    path->lastUsedUs = nowUs;
    transport::formatIPv4(address, path->ip);
    order.push_front(std::move(path));
    paths.insert(id, order.begin());
    return order.front().get();
}

void PathTable::clear()
{
    paths.clear();
    order.clear();
    evicted.clear();
}
