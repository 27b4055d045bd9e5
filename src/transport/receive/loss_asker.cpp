#include "transport/receive/loss_asker.h"

#include <algorithm>

#include "core/host_bridge.h"
#include "core/labels.h"
#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/local_identity.h"
#include "transport/loss_report.h"
#include "transport/path/path_table.h"
#include "transport/protocol_texts.h"
#include "transport/receive/loss_timing.h"
#include "transport/send/writer.h"

namespace {
// A round asks for at most this many packets, or twice the packets already
// received if that is more, so one forged datagram cannot make a unit send
// thousands of requests.
constexpr int kMinRoundRequests = 64;
// Packets one record reports a round (ranges make them one datagram).
constexpr int kMaxReportedPerRound = 8192;
// Packets after the highest one received that a round asks for: a sender
// that merely paused then writes at most this many twice, while a lost tail
// comes back a run at a time (and whole once its last packet is in).
constexpr int kTailProbe = 15;

// A round begins: what it asks for is no longer new.
void beginRound(NOLVUDPBUFFER *record, int64_t nowMs)
{
    record->requestNow = false;
    record->newGap = false;
    record->lastRoundMs = nowMs;
    ++record->quietRounds;
}
} // namespace

int LossAsker::request(NOLVUDPBUFFER *record, int64_t nowMs, int budget)
{
    char ip[16];
    text::copyText(ip, record->ip);
    const unsigned short port = record->port;
    const int limit = std::min(budget, std::max(kMinRoundRequests, 2 * record->count));
    const bool tailQuiet = record->requestNow || nowMs >= loss::tailDue(record);
    const int tailEnd = record->highestIndex + (tailQuiet ? kTailProbe : 0);
    beginRound(record, nowMs);
    const QByteArray name = self.nameBytes();
    int asked = 0;
    for (int slot = record->firstMissing; slot < record->total && slot < tailEnd && asked < limit; ++slot) {
        if (hasPacket(record, slot) || !writer.queueRequest(record->date, record->time, slot + 1, ip, port))
            continue; // there, or its request still waits to go
        const QByteArray request = transport::requestText(name, record->date, record->time, slot + 1);
        host.writeLog(tr("Request for Lost Packet:") + QString::fromLatin1(request) + fromLabel(ip));
        ++asked;
    }
    return asked;
}

int LossAsker::report(NOLVUDPBUFFER *record, const PeerPath *path, int64_t nowUs,
                      transport::LossReportWriter &report)
{
    const int64_t nowMs = nowUs / 1000;
    const bool again = record->lastReportUs == 0 ||
                       nowMs >= record->lastReportUs / 1000 + loss::reReportMs(path->receiving.senderRttMs, record);
    const bool tailQuiet = record->requestNow || nowMs >= loss::tailDue(record);
    const int from = again ? record->firstMissing : std::max(record->firstMissing, int(record->reportedUpTo));
    // 0-based slots before it. Gaps younger than the reordering window wait,
    // but not once the sender has written it all.
    int end = tailQuiet ? record->total : record->highestIndex;
    const ReceivingPath &r = path->receiving;
    const int evident = record->senderDone ? end : loss::settleGaps(record, nowUs, r.reorderWindowUs());
    if (evident < record->highestIndex)
        end = evident;
    beginRound(record, nowMs);
    int reported = 0;
    int slot = from;
    while (slot < end && reported < kMaxReportedPerRound) {
        if (hasPacket(record, slot)) {
            ++slot;
            continue;
        }
        int last = slot;
        while (last + 1 < end && !hasPacket(record, last + 1) && reported + (last + 1 - slot) < kMaxReportedPerRound)
            ++last;
        if (!report.add(record->date, record->time, slot + 1, last + 1))
            break; // full: the rest at the next round
        reported += last - slot + 1;
        slot = last + 1;
    }
    record->reportedUpTo = std::max<int32_t>(record->reportedUpTo, slot);
    record->reportedTxn = r.newestReceivedTxn;
    for (int k = end; k < record->highestIndex && !record->newGap; ++k)
        record->newGap = !hasPacket(record, k); // too young yet: due once it is old enough
    if (again || reported > 0)
        record->lastReportUs = nowUs;
    if (reported > 0)
        host.writeLog(tr("Report lost packets:") + QString::fromLatin1(identityKey(record->date, record->time)) +
                      tr(" Count:") + QString::number(reported) + fromLabel(path->ip));
    return reported;
}
