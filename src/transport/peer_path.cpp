#include "transport/peer_path.h"

#include <QRandomGenerator>
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
// Feedback names one of the last numbers written (at most as many as a
// controller may have in flight), and not more than this far behind the
// newest number feedback named before (feedback that was delayed or
// reordered on the way): the window is what is in flight and a little more.
constexpr uint64_t kProofWindow = RateController::kRecords;
constexpr uint32_t kStaleTxns = 256;
// A sender's number this far from the newest one received begins a series.
constexpr uint32_t kSeriesReach = 65536;
// A path that carried a message is kept from strangers this long.
constexpr int64_t kKeepMessageUs = 60ll * 1000 * 1000;
// Paths looked at, oldest first, for one to let go.
constexpr int kEvictScan = 64;

bool near(uint32_t a, uint32_t b) { return a - b + kSeriesReach < 2 * kSeriesReach; }
} // namespace

uint32_t PeerPath::nextTxn(int64_t nowUs, bool queueEmptyAfter, bool *ask)
{
    if (numbered == 0 && !rate) {
        // A series starts where no one can guess it.
        lastTxn = QRandomGenerator::system()->generate();
        seriesFirst = lastTxn + 1;
    }
    uint32_t txn = lastTxn + 1;
    if (rate)
        txn = rate->onSent(nowUs, queueEmptyAfter, ask);
    else if (ask)
        *ask = false;
    lastTxn = txn;
    ++numbered;
    return txn;
}

bool PeerPath::proves(uint32_t echoed) const
{
    if (numbered == 0)
        return false;
    if (lastTxn - echoed >= std::min<uint64_t>(numbered, kProofWindow))
        return false;
    return !seriesHeard || int32_t(echoed - provenTxn) >= -int32_t(kStaleTxns);
}

void PeerPath::noteProof(uint32_t echoed, int64_t nowUs)
{
    provenUs = std::max<int64_t>(nowUs, 1);
    if (!seriesHeard || int32_t(echoed - provenTxn) > 0)
        provenTxn = echoed;
    seriesHeard = true;
    silent = false;
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
    // A new controller goes on with the series: the receiver's count of it
    // still fits.
    rate = std::make_unique<RateController>(nowUs, lastTxn + 1);
    if (rttHintUs)
        rate->setRttHint(rttHintUs);
    pacer = std::make_unique<Pacer>(nowUs, rate->pacingRate());
}

int64_t PeerPath::silenceLimitUs() const
{
    const int64_t rtt = rate ? rate->smoothedRttUs() : 0;
    return std::clamp(kSilentRoundTrips * rtt, kMinSilenceUs, kMaxSilenceUs);
}

bool PeerPath::noteNumbered(const mark::Mark &mark, int64_t nowUs)
{
    // A number far from the newest one, or the new-series flag after the
    // series had dropped it, is a sender that numbers afresh (a new path, a
    // restarted unit): count from here, so that its first feedback names a
    // number of its own.
    const bool flagged = mark.flags & mark::NewSeries;
    const bool fresh = received == 0 || !near(mark.txn, newestTxn) || (flagged && seriesSettled);
    if (fresh) {
        received = 0;
        sinceFeedback = 0;
        unheardSinceUs = 0;
        seriesSettled = false;
    }
    if (fresh || int32_t(mark.txn - newestTxn) > 0) {
        newestTxn = mark.txn;
        newestAtUs = nowUs;
    }
    if (!flagged)
        seriesSettled = true;
    if (mark.flags & mark::HearsFeedback)
        unheardSinceUs = 0;
    ++received;
    numberedSeenUs = nowUs;
    senderRttMs = mark.rttHintMs;
    return fresh;
}

bool PeerPath::kept(int64_t nowUs) const
{
    return active || !queue.isEmpty() || feedbackDue || (messageUs != 0 && nowUs - messageUs < kKeepMessageUs);
}

PeerPath *PathTable::find(quint64 id) const
{
    const auto it = paths.constFind(id);
    return it == paths.constEnd() ? nullptr : it.value()->get();
}

PeerPath *PathTable::obtain(quint32 address, quint16 port, int64_t nowUs, bool forSending, quint64 birth)
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
    path->birth = birth;
    path->lastUsedUs = nowUs;
    transport::formatIPv4(address, path->ip);
    order.push_front(std::move(path));
    paths.insert(id, order.begin());
    return order.front().get();
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
            evicted.push_back(std::move(*last));
            order.erase(last);
            return true;
        }
        order.splice(order.begin(), order, last);
    }
    return false;
}

void PathTable::releaseEvicted(quint64 bornSince)
{
    if (bornSince == 0) {
        evicted.clear();
        return;
    }
    evicted.erase(std::remove_if(evicted.begin(), evicted.end(),
                                 [bornSince](const std::unique_ptr<PeerPath> &p) { return p->birth >= bornSince; }),
                  evicted.end());
}

void PathTable::clear()
{
    paths.clear();
    order.clear();
    evicted.clear();
}
