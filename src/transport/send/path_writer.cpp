#include "transport/send/path_writer.h"

#include <algorithm>

#include "io/datagram_out.h"
#include "transport/buffers.h"
#include "transport/endpoint.h"
#include "transport/local_identity.h"
#include "transport/path/path_table.h"
#include "transport/protocol_texts.h"
#include "transport/send/outgoing_messages.h"

static_assert(sizeof(NOLVUDPPACKET) == io::kPlainBytes, "the socket stages plain datagrams");

namespace {
constexpr int64_t kRoundUs = 2000;   // a round of the protocol's pace
constexpr int kPacketsPerRound = 15; // of one message, per round
constexpr int kJobsPerRound = 4;     // messages to one destination that progress in a round
constexpr int kPacketsPerTurn = 16;  // at a path's rate, of one message before the next one's turn
// Feedback this recent lets a path's datagrams say that they hear it.
constexpr int64_t kHeardLatelyUs = 200000;
// A series no feedback has named yet asks for it at its first datagram and
// every this many after.
constexpr uint64_t kNewSeriesAskEvery = 16;
} // namespace

int PathWriter::write(PeerPath *path, int64_t nowUs, int maxWrites, int64_t &nextDueUs, Pacer &startPacer)
{
    auto due = [&nextDueUs](int64_t at) {
        if (at != 0 && (nextDueUs == 0 || at < nextDueUs))
            nextDueUs = at;
    };
    SendingPath &s = path->sending;
    // A path that stops giving feedback while datagrams are in flight is
    // paced at the protocol's own pace again, until feedback comes back.
    if (s.atRate(nowUs) && s.rate && s.rate->inflight() > 0 && s.awaitingSinceUs != 0 &&
        nowUs - std::max(s.rate->lastFeedbackUs(), s.awaitingSinceUs) > s.silenceLimitUs())
        s.silent = true;
    // A round of the protocol's pace lasts kRoundUs from its first write;
    // work that comes within it goes at once while the round has room.
    if (s.roundStartUs == 0 || nowUs >= s.roundStartUs + kRoundUs) {
        s.roundStartUs = nowUs;
        s.roundResends = 0;
        s.roundRequests = 0;
    }
    // Requests to the sender of a message go fifteen a round whatever the
    // path: they are control words, outside the numbered datagrams that its
    // rate controller paces (and that the sender's feedback reports on).
    int n = writeRequests(path, nowUs, maxWrites);
    if (!s.atRate(nowUs)) {
        n += writeLegacyRound(path, nowUs, maxWrites - n);
    } else {
        s.makeRate(nowUs);
        int64_t at = 0;
        n += writeAtRate(path, nowUs, maxWrites - n, at, startPacer);
        due(at);
    }
    if (s.queue.hasRequests() || (!s.atRate(nowUs) && !s.queue.isEmpty()))
        due(std::max(s.roundStartUs + kRoundUs, nowUs + 1));
    return n;
}

int PathWriter::writeRequests(PeerPath *path, int64_t nowUs, int maxWrites)
{
    SendingPath &s = path->sending;
    int n = 0;
    PacketRef ref;
    const QByteArray name = self.nameBytes();
    while (s.roundRequests < kPacketsPerRound && n < maxWrites && s.queue.takeRequest(ref)) {
        ++s.roundRequests;
        const QByteArray request = transport::requestText(name, ref.date, ref.time, ref.index);
        NOLVUDPPACKET &slot = *static_cast<NOLVUDPPACKET *>(out.stageSlot());
        self.fillProtocolPacket(slot, request.constData(), size_t(request.size()));
        mark::writeData(slot, 0, 0, 0, nowUs);
        out.stage(path->address, path->port);
        ++n;
    }
    return n;
}

int PathWriter::writeLegacyRound(PeerPath *path, int64_t nowUs, int maxWrites)
{
    SendingPath &s = path->sending;
    SendQueue &q = s.queue;
    int n = 0;
    while (s.roundResends < kPacketsPerRound && n < maxWrites && q.hasResends()) {
        ++s.roundResends;
        n += writeNext(path, nowUs, false, 0) ? 1 : 0;
    }
    // Each message: packet 1 alone in its first round, then fifteen a round.
    const int jobs = std::min(kJobsPerRound, q.jobCount());
    for (int j = 0; j < jobs && n < maxWrites && q.hasJobs(); ++j) {
        SENDRECORD *record = q.currentJob();
        if (record->roundUs != s.roundStartUs) {
            record->roundUs = s.roundStartUs;
            record->roundWritten = 0;
        }
        const bool firstRound = record->written == record->roundWritten && record->roundWritten > 0;
        const int quota = record->written == 0 || firstRound ? 1 : kPacketsPerRound;
        while (record->roundWritten < quota && n < maxWrites && q.currentJob() == record) {
            ++record->roundWritten;
            n += writeJobPacket(path, record, nowUs, false) ? 1 : 0;
        }
        if (q.currentJob() == record)
            q.rotate();
    }
    return n;
}

int PathWriter::writeAtRate(PeerPath *path, int64_t nowUs, int maxWrites, int64_t &nextDueUs, Pacer &startPacer)
{
    SendingPath &s = path->sending;
    RateController &rate = *s.rate;
    Pacer &pacer = *s.pacer;
    rate.onWake(nowUs);
    pacer.setRate(nowUs, rate.pacingRate());
    pacer.setDepthUs(startPacer.depthUs()); // the writer's depth, learnt from its wake-ups

    const bool starting = rate.lastFeedbackUs() == 0;
    auto allowed = [&] { return pacer.allowance(nowUs) > 0 && (!starting || startPacer.allowance(nowUs) > 0); };
    SendQueue &q = s.queue;
    int n = 0;
    while (n < maxWrites && (q.hasResends() || q.hasJobs()) && allowed() && rate.inflight() < rate.inflightLimit()) {
        if (!writeNext(path, nowUs, true, kPacketsPerTurn))
            break;
        pacer.consume(nowUs, 1);
        if (starting)
            startPacer.consume(nowUs, 1);
        ++n;
    }
    if (!q.hasResends() && !q.hasJobs())
        return n;
    if (rate.inflight() >= rate.inflightLimit()) // feedback opens the window; two round trips without it, the controller looks
        nextDueUs = nowUs + std::min(s.silenceLimitUs(), 2 * rate.smoothedRttUs() + 1000);
    else
        nextDueUs = std::max({pacer.nextDueUs(nowUs), starting ? startPacer.nextDueUs(nowUs) : 0, nowUs + 1});
    return n;
}

bool PathWriter::writeNext(PeerPath *path, int64_t nowUs, bool paced, int jobLimit)
{
    SendQueue &q = path->sending.queue;
    PacketRef ref;
    while (q.takeResend(ref)) {
        NOLVUDPBUFFER *buffer = outgoing.find(ref.date, ref.time);
        NOLVUDPPACKET &slot = *static_cast<NOLVUDPPACKET *>(out.stageSlot());
        if (buffer && makePacket(buffer, ref.index, slot)) {
            stagePaced(path, slot, nowUs, paced);
            return true;
        }
    }
    SENDRECORD *record = q.currentJob();
    if (!record)
        return false;
    const bool wrote = writeJobPacket(path, record, nowUs, paced);
    // At a path's rate the messages to it take turns of a few packets.
    if (jobLimit > 0 && q.currentJob() == record && record->written % jobLimit == 0)
        q.rotate();
    return wrote;
}

bool PathWriter::writeJobPacket(PeerPath *path, SENDRECORD *record, int64_t nowUs, bool paced)
{
    NOLVUDPBUFFER *buffer = record->writing;
    if (!buffer || record->retries <= wire::kRemoveMark) {
        endWriting(record); // acknowledged, refused or given up meanwhile
        return false;
    }
    NOLVUDPPACKET &slot = *static_cast<NOLVUDPPACKET *>(out.stageSlot());
    if (!makePacket(buffer, record->written, slot)) {
        endWriting(record);
        return false;
    }
    const uint32_t txn = stagePaced(path, slot, nowUs, paced);
    if (record->written++ == 0) {
        record->firstTxn = txn;
        record->series = path->sending.seriesFirst;
    }
    if (record->written >= buffer->total) {
        endWriting(record);
        events.messageWritten(record);
    }
    return true;
}

uint32_t PathWriter::stagePaced(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs, bool paced)
{
    // Every datagram written at a path's pace carries the next number of its
    // series, whatever the peer: one of our units answers with feedback that
    // names it (and so proves itself), any other reads none of it.
    SendingPath &s = path->sending;
    bool ask = false;
    const bool lastOne = s.queue.isEmpty();
    const uint32_t txn = s.nextTxn(nowUs, lastOne, &ask);
    if ((!paced && lastOne) || (!s.seriesHeard && s.numbersWritten % kNewSeriesAskEvery == 1))
        ask = true;
    const int64_t rttUs = s.rttUs();
    const int64_t heard = s.rate ? s.rate->lastFeedbackUs() : 0;
    // It hears the peer's feedback unless datagrams have waited for it
    // longer than a few round trips: not merely since the last feedback, as
    // a fan-out comes back to a path only after a pause, and taking that
    // pause for lost feedback made receivers ask for each packet with a
    // REQUEST.
    const int64_t owedSinceUs = s.awaitingSinceUs ? std::max(heard, s.awaitingSinceUs) : nowUs;
    const bool hears = heard != 0 && nowUs - owedSinceUs < std::max<int64_t>(4 * rttUs, kHeardLatelyUs);
    mark::writeData(packet,
                    uint8_t((ask ? mark::FeedbackNow : 0) | (hears ? mark::HearsFeedback : 0) |
                            (s.seriesHeard ? 0 : mark::NewSeries)),
                    rttUs / 1000, txn, nowUs);
    if (s.awaitingSinceUs == 0)
        s.awaitingSinceUs = nowUs;
    path->messageUs = nowUs;
    out.stage(path->address, path->port);
    return txn;
}

void PathWriter::endWriting(SENDRECORD *record)
{
    NOLVUDPBUFFER *buffer = record->writing;
    if (!buffer)
        return;
    record->writing = nullptr;
    --buffer->inUse;
    if (PeerPath *path = paths.find(transport::parseIPv4(record->ip), record->port))
        path->sending.queue.removeJob(record, buffer->messageLength);
    events.writingEnded(record);
}
