#include "transport/path/path_table.h"

#include "core/lifetime.h"
#include "core/wait_generation.h"
#include "platform/clock.h"
#include "transport/endpoint.h"

namespace {
// A path that carried a message is kept from strangers this long.
constexpr int64_t kKeepMessageUs = 60ll * 1000 * 1000;
// Paths looked at, oldest first, for one to let go.
constexpr int kEvictScan = 64;
// A path idle this long lets its rate controller go.
constexpr int64_t kIdleRateUs = 60ll * 1000 * 1000;
} // namespace

bool PeerPath::kept(int64_t nowUs) const
{
    return sending.active || !sending.queue.isEmpty() || receiving.feedbackDue ||
           (messageUs != 0 && nowUs - messageUs < kKeepMessageUs);
}

PathTable::~PathTable() = default;

PeerPath *PathTable::find(quint64 id) const
{
    const auto it = paths.constFind(id);
    return it == paths.constEnd() ? nullptr : it.value()->get();
}

PeerPath *PathTable::find(quint32 address, quint16 port) const { return find(transport::endpointId(address, port)); }

PeerPath *PathTable::obtain(quint32 address, quint16 port, int64_t nowUs, bool forSending)
{
    const quint64 id = transport::endpointId(address, port);
    const auto it = paths.find(id);
    if (it != paths.end()) {
        order.splice(order.begin(), order, it.value()); // most recently used first
        order.front()->lastUsedUs = nowUs;
        return order.front().get();
    }
    if (int(paths.size()) >= kMaxPaths && !evictOne(nowUs) && !forSending)
        return nullptr;
    auto path = std::make_unique<PeerPath>();
    path->id = id;
    path->address = address;
    path->port = port;
    path->birth = waitgen::current();
    path->lastUsedUs = nowUs;
    path->sending.uplink = &uplink;
    transport::formatIPv4(address, path->ip);
    order.push_front(std::move(path));
    paths.insert(id, order.begin());
    return order.front().get();
}

PeerPath *PathTable::sendingPath(const char *ip, unsigned short port)
{
    const quint32 address = transport::parseIPv4(ip);
    return address ? obtain(address, port, platform::monotonicUs(), true) : nullptr;
}

bool PathTable::evictOne(int64_t nowUs)
{
    // The path used longest ago that is not kept goes. Kept ones on the way
    // move to the front, so that the next search starts past them.
    for (int looked = 0; looked < kEvictScan && !order.empty(); ++looked) {
        const auto last = std::prev(order.end());
        if (!(*last)->kept(nowUs)) {
            // Freed with the unit's other retired records, once no handler
            // can still hold it.
            paths.remove((*last)->id);
            PeerPath *evicted = last->release();
            life.defer(evicted, &deleteItem<PeerPath>, evicted->birth);
            order.erase(last);
            return true;
        }
        order.splice(order.begin(), order, last);
    }
    return false;
}

void PathTable::forgetIdleRates(int64_t nowUs)
{
    // A controller holds the send records of thousands of datagrams: a
    // server of many clients keeps one only for those it talks to lately.
    for (const auto &path : order) {
        SendingPath &s = path->sending;
        if (s.rate && !s.active && nowUs - path->lastUsedUs > kIdleRateUs) {
            s.rate.reset();
            s.pacer.reset();
        }
    }
}
