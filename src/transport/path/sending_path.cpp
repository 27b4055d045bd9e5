#include "transport/path/sending_path.h"

#include <QRandomGenerator>
#include <algorithm>

namespace {
// Feedback is due at least every two round trips; a few more without any
// while datagrams are in flight, and the peer gets the protocol's own pace.
constexpr int64_t kSilentRoundTrips = 6;
constexpr int64_t kMinSilenceUs = 300000;
constexpr int64_t kMaxSilenceUs = 2000000;
// Feedback names one of the last numbers written (at most as many as a
// controller may have in flight), and not more than this far behind the
// newest number feedback named before (feedback that was delayed or
// reordered on the way): the window is what is in flight and a little more.
constexpr uint64_t kProofWindow = RateController::kRecords;
constexpr uint32_t kStaleTxns = 256;
} // namespace

uint32_t SendingPath::nextTxn(int64_t nowUs, bool queueEmptyAfter, bool *ask)
{
    if (numbersWritten == 0 && !rate) {
        // A series starts where no one can guess it.
        lastWrittenTxn = QRandomGenerator::system()->generate();
        seriesFirst = lastWrittenTxn + 1;
    }
    uint32_t txn = lastWrittenTxn + 1;
    if (rate)
        txn = rate->onSent(nowUs, queueEmptyAfter, ask);
    else if (ask)
        *ask = false;
    lastWrittenTxn = txn;
    ++numbersWritten;
    return txn;
}

bool SendingPath::proves(uint32_t echoed) const
{
    if (numbersWritten == 0)
        return false;
    if (lastWrittenTxn - echoed >= std::min<uint64_t>(numbersWritten, kProofWindow))
        return false;
    return !seriesHeard || int32_t(echoed - provenTxn) >= -int32_t(kStaleTxns);
}

void SendingPath::noteProof(uint32_t echoed, int64_t nowUs)
{
    provenUs = std::max<int64_t>(nowUs, 1);
    if (!seriesHeard || int32_t(echoed - provenTxn) > 0)
        provenTxn = echoed;
    seriesHeard = true;
    silent = false;
}

void SendingPath::makeRate(int64_t nowUs)
{
    if (rate)
        return;
    // A new controller goes on with the series: the receiver's count of it
    // still fits.
    rate = std::make_unique<RateController>(nowUs, lastWrittenTxn + 1, uplink);
    if (rttHintUs)
        rate->setRttHint(rttHintUs);
    pacer = std::make_unique<Pacer>(nowUs, rate->pacingRate());
}

int64_t SendingPath::silenceLimitUs() const
{
    // Before feedback measured a round trip, the one a registration saw, else
    // the longest: the first feedback of a long path takes its round trip
    // (600 ms by satellite), and the protocol's pace meanwhile overfilled
    // its queue by thousands of datagrams.
    const int64_t rtt = rttUs() ? rttUs() : rttHintUs;
    return rtt ? std::clamp(kSilentRoundTrips * rtt, kMinSilenceUs, kMaxSilenceUs) : kMaxSilenceUs;
}
