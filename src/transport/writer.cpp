// The writer: what waits in the destinations' queues goes out from the event
// loop, each destination at its own pace, in batches of datagrams.
//
// A destination that takes part in our path protocol is paced by its rate
// controller: a token bucket at the controller's rate, and no more in flight
// than its limit. Any other destination gets the pace of the protocol as it
// stands: rounds of about 2 ms in which each message writes its packet 1
// alone, then fifteen packets a round; answers to requests and runs of
// requests fifteen a round too. Paths take turns, so a push to many clients
// is written to all of them in shared rounds.
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <cmath>

#include "platform/clock.h"
#include "platform/udp_batch.h"
#include "transport/buffers.h"
#include "transport/datagram_tap.h"
#include "text/fixed_text.h"
#include "transport/endpoint.h"
#include "transport/protocol_texts.h"
#include "unit/mudp_unit.h"

namespace {
constexpr int64_t kRoundUs = 2000;          // a round of the protocol's pace
constexpr int kPacketsPerRound = 15;         // of one message, per round
constexpr int kJobsPerRound = 4;             // messages to one destination that progress in a round
constexpr int kPacketsPerTurn = 16;          // at a path's rate, of one message before the next one's turn
constexpr int kMaxWritesPerRun = 16384;      // then the event loop gets a turn
constexpr int kBatch = 64;                   // datagrams per system call
constexpr int kWritesPerDrain = 256;         // datagrams written between two reads of the socket
// Paths without feedback yet share one first window: a push to a thousand
// new clients starts as one flow would, not a thousand. Its rate is the best
// any path has shown, or this.
constexpr double kStartRate = 8000;          // datagrams per second
// Feedback this recent lets a path's datagrams say that they hear it.
constexpr int64_t kHeardLatelyUs = 200000;
// A series no feedback has named yet asks for it at its first datagram and
// every this many after.
constexpr uint64_t kNewSeriesAskEvery = 16;
} // namespace

void MUDPUnit::runWriter()
{
    EntryGuard guard(*this);
    writeWhatIsDue(kMaxWritesPerRun);
}

void MUDPUnit::armWriter(int64_t dueUs)
{
    if (dueUs == 0)
        return;
    const int64_t delayUs = dueUs - platform::monotonicUs();
    const int delayMs = delayUs <= 0 ? 0 : int(std::min<int64_t>((delayUs + 999) / 1000, 2000));
    if (!writerTimer->isActive() || writerTimer->remainingTime() > delayMs)
        writerTimer->start(delayMs);
}

void MUDPUnit::writeWhatIsDue(int maxWrites)
{
    if (writerBusy)
        return;
    writerBusy = true;
    const int64_t now = platform::monotonicUs();
    int64_t nextDue = 0;
    int written = 0;
    if (!flushStaged()) {
        nextDue = now + 1000; // the socket's buffer is full: try again soon
        maxWrites = 0;
    }
    double startRate = kStartRate;
    for (const PeerPath *path : std::as_const(activePaths))
        if (path->rate)
            startRate = std::max(startRate, path->rate->bottleneckRate());
    if (!startPacer)
        startPacer = std::make_unique<Pacer>(now, startRate);
    startPacer->setRate(now, startRate);
    const int n = int(activePaths.size());
    QList<PeerPath *> still;
    still.reserve(n);
    const int start = n ? int(writerTurn++ % quint64(n)) : 0;
    for (int k = 0; k < n; ++k) {
        PeerPath *path = activePaths.at((start + k) % n);
        if (written < maxWrites)
            written += writePath(path, now, maxWrites - written, nextDue);
        else
            nextDue = now; // more is due than one run writes
        if (path->queue.isEmpty())
            path->active = false;
        else
            still.append(path);
    }
    activePaths.swap(still);
    if (!flushStaged())
        nextDue = now + 1000;
    writerBusy = false;
    if (!activePaths.isEmpty())
        armWriter(nextDue ? nextDue : now + kRoundUs);
}

int MUDPUnit::writePath(PeerPath *path, int64_t nowUs, int maxWrites, int64_t &nextDueUs)
{
    auto due = [&nextDueUs](int64_t at) {
        if (at != 0 && (nextDueUs == 0 || at < nextDueUs))
            nextDueUs = at;
    };
    // A path that stops giving feedback while datagrams are in flight is
    // paced at the protocol's own pace again, until feedback comes back.
    if (path->capable(nowUs) && path->rate && path->rate->inflight() > 0 && path->awaitingSinceUs != 0 &&
        nowUs - std::max(path->rate->lastFeedbackUs(), path->awaitingSinceUs) > path->silenceLimitUs())
        path->silent = true;
    // A round of the protocol's pace lasts kRoundUs from its first write;
    // work that comes within it goes at once while the round has room.
    if (path->roundStartUs == 0 || nowUs >= path->roundStartUs + kRoundUs) {
        path->roundStartUs = nowUs;
        path->roundResends = 0;
        path->roundRequests = 0;
    }
    // Requests to the sender of a message go fifteen a round whatever the
    // path: they are control words, outside the numbered datagrams that its
    // rate controller paces (and that the sender's feedback reports on).
    int n = writeRequests(path, nowUs, maxWrites);
    if (!path->capable(nowUs)) {
        n += writeLegacyRound(path, nowUs, maxWrites - n);
    } else {
        path->makeRate(nowUs);
        int64_t at = 0;
        n += writeAtRate(path, nowUs, maxWrites - n, at);
        due(at);
    }
    if (path->queue.hasRequests() || (!path->capable(nowUs) && !path->queue.isEmpty()))
        due(std::max(path->roundStartUs + kRoundUs, nowUs + 1));
    return n;
}

int MUDPUnit::writeRequests(PeerPath *path, int64_t nowUs, int maxWrites)
{
    int n = 0;
    PacketRef ref;
    const QByteArray name = text::fieldBytes(localName);
    while (path->roundRequests < kPacketsPerRound && n < maxWrites && path->queue.takeRequest(ref)) {
        ++path->roundRequests;
        const QByteArray request = transport::requestText(name, ref.date, ref.time, ref.index);
        NOLVUDPPACKET &slot = stageSlot();
        fillProtocolPacket(slot, request.constData(), size_t(request.size()));
        mark::writeData(slot, 0, 0, 0, nowUs);
        stage(path);
        ++n;
    }
    return n;
}

int MUDPUnit::writeLegacyRound(PeerPath *path, int64_t nowUs, int maxWrites)
{
    SendQueue &q = path->queue;
    int n = 0;
    while (path->roundResends < kPacketsPerRound && n < maxWrites && q.hasResends()) {
        ++path->roundResends;
        n += writeNext(path, nowUs, false, 0) ? 1 : 0;
    }
    // Each message: packet 1 alone in its first round, then fifteen a round.
    const int jobs = std::min(kJobsPerRound, q.jobCount());
    for (int j = 0; j < jobs && n < maxWrites && q.hasJobs(); ++j) {
        SENDRECORD *record = q.currentJob();
        if (record->roundUs != path->roundStartUs) {
            record->roundUs = path->roundStartUs;
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

int MUDPUnit::writeAtRate(PeerPath *path, int64_t nowUs, int maxWrites, int64_t &nextDueUs)
{
    RateController &rate = *path->rate;
    Pacer &pacer = *path->pacer;
    rate.onWake(nowUs);
    pacer.setRate(nowUs, rate.pacingRate());

    const bool starting = rate.lastFeedbackUs() == 0;
    auto allowed = [&] {
        return pacer.allowance(nowUs) > 0 && (!starting || startPacer->allowance(nowUs) > 0);
    };
    SendQueue &q = path->queue;
    int n = 0;
    while (n < maxWrites && (q.hasResends() || q.hasJobs()) && allowed() && rate.inflight() < rate.inflightLimit()) {
        if (!writeNext(path, nowUs, true, kPacketsPerTurn))
            break;
        pacer.consume(nowUs, 1);
        if (starting)
            startPacer->consume(nowUs, 1);
        ++n;
    }
    if (!q.hasResends() && !q.hasJobs())
        return n;
    if (rate.inflight() >= rate.inflightLimit()) // feedback opens the window; two round trips without it, the controller looks
        nextDueUs = nowUs + std::min(path->silenceLimitUs(), 2 * rate.smoothedRttUs() + 1000);
    else
        nextDueUs = std::max({pacer.nextDueUs(nowUs), starting ? startPacer->nextDueUs(nowUs) : 0, nowUs + 1});
    return n;
}

bool MUDPUnit::writeNext(PeerPath *path, int64_t nowUs, bool paced, int jobLimit)
{
    SendQueue &q = path->queue;
    PacketRef ref;
    while (q.takeResend(ref)) {
        NOLVUDPBUFFER *buffer = findSentBuffer(ref.date, ref.time);
        NOLVUDPPACKET &slot = stageSlot();
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

bool MUDPUnit::writeJobPacket(PeerPath *path, SENDRECORD *record, int64_t nowUs, bool paced)
{
    NOLVUDPBUFFER *buffer = record->writing;
    if (!buffer || record->retries <= wire::kRemoveMark) {
        endWriting(record); // acknowledged, refused or given up meanwhile
        return false;
    }
    NOLVUDPPACKET &slot = stageSlot();
    if (!makePacket(buffer, record->written, slot)) {
        endWriting(record);
        return false;
    }
    const uint32_t txn = stagePaced(path, slot, nowUs, paced);
    if (record->written++ == 0) {
        record->firstTxn = txn;
        record->series = path->seriesFirst;
    }
    if (record->written >= buffer->total) {
        endWriting(record);
        noteSendWritten(record);
    }
    return true;
}

uint32_t MUDPUnit::stagePaced(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs, bool paced)
{
    // Every datagram written at a path's pace carries the next number of its
    // series, whatever the peer: one of our units answers with feedback that
    // names it (and so proves itself), any other reads none of it.
    bool ask = false;
    const bool lastOne = path->queue.isEmpty();
    const uint32_t txn = path->nextTxn(nowUs, lastOne, &ask);
    if ((!paced && lastOne) || (!path->seriesHeard && path->numbered % kNewSeriesAskEvery == 1))
        ask = true;
    const RateController *rate = path->rate.get();
    const int64_t rttUs = rate ? rate->smoothedRttUs() : 0;
    const int64_t heard = rate ? rate->lastFeedbackUs() : 0;
    const bool hears = heard != 0 && nowUs - heard < std::max<int64_t>(4 * rttUs, kHeardLatelyUs);
    mark::writeData(packet,
                    uint8_t((ask ? mark::FeedbackNow : 0) | (hears ? mark::HearsFeedback : 0) |
                            (path->seriesHeard ? 0 : mark::NewSeries)),
                    rttUs / 1000, txn, nowUs);
    if (path->awaitingSinceUs == 0)
        path->awaitingSinceUs = nowUs;
    path->messageUs = nowUs;
    stage(path);
    return txn;
}

NOLVUDPPACKET &MUDPUnit::stageSlot()
{
    if (stagedCount == int(staged.size()))
        staged.resize(staged.size() + kBatch);
    return staged[size_t(stagedCount)].packet;
}

void MUDPUnit::stage(const PeerPath *path)
{
    Staged &s = staged[size_t(stagedCount++)];
    s.address = path->address;
    s.port = path->port;
    if (stagedCount >= kBatch)
        flushStaged();
}

bool MUDPUnit::flushStaged()
{
    if (stagedCount == 0 || closed) {
        stagedCount = 0;
        return true;
    }
    int done = 0;
    const qintptr fd = recvSocket->socketDescriptor();
    if (platform::udpBatchingAvailable() && !transport::hasOutgoingTap(this) && fd >= 0) {
        platform::OutDatagram out[kBatch];
        for (int i = 0; i < stagedCount; ++i)
            out[i] = {reinterpret_cast<const char *>(&staged[size_t(i)].packet), int(sizeof(NOLVUDPPACKET)),
                      staged[size_t(i)].address, staged[size_t(i)].port};
        done = platform::writeDatagrams(fd, out, stagedCount);
    } else {
        for (; done < stagedCount; ++done)
            writeDatagram(staged[size_t(done)].packet, QHostAddress(staged[size_t(done)].address),
                          staged[size_t(done)].port);
    }
    writesSinceDrain += done;
    if (done < stagedCount) {
        // The socket's buffer is full: what was not taken goes first next time.
        std::move(staged.begin() + done, staged.begin() + stagedCount, staged.begin());
        stagedCount -= done;
        return false;
    }
    stagedCount = 0;
    // A long run of writes reads nothing meanwhile; the socket's buffer holds
    // a few hundred datagrams of the answers and registrations that come.
    if (writesSinceDrain >= kWritesPerDrain)
        drainSocket();
    return true;
}

void MUDPUnit::writeDatagram(const NOLVUDPPACKET &packet, const QHostAddress &address, quint16 port)
{
    if (closed)
        return;
    const char *bytes = reinterpret_cast<const char *>(&packet);
    if (!transport::hasOutgoingTap(this)) {
        sendSocket->writeDatagram(bytes, sizeof packet, address, port);
        return;
    }
    QByteArray datagram(bytes, sizeof packet);
    QHostAddress to = address;
    quint16 toPort = port;
    if (transport::passOutgoing(this, datagram, to, toPort))
        sendSocket->writeDatagram(datagram, to, toPort);
}

void MUDPUnit::writeSingle(NOLVUDPPACKET &packet, const char *destIP, unsigned short port)
{
    // A control word to a peer whose numbered datagrams this unit receives
    // carries feedback for it, when there is news or nothing to prove; one to
    // a destination that has not proven it receives our datagrams carries a
    // number for it to name (a registration proves the way for the data
    // after it); any other an unnumbered data mark.
    const quint32 address = transport::parseIPv4(destIP);
    const int64_t now = platform::monotonicUs();
    PeerPath *path = address ? paths.find(transport::endpointId(address, port)) : nullptr;
    if (path && path->sendsMarked(now) && (path->sinceFeedback > 0 || path->proven(now)))
        markFeedback(path, packet, now);
    else if (address && (path || (path = obtainPath(address, port, now, false))) && !path->proven(now))
        markProbe(path, packet, now);
    else
        mark::writeData(packet, 0, 0, 0, now);
    writeSingleNow(packet, address, destIP, port);
}

void MUDPUnit::markFeedback(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs)
{
    mark::writeFeedback(packet, path->newestTxn, nowUs - path->newestAtUs, path->received);
    path->sinceFeedback = 0;
    path->owedForMessage = false;
    path->lastFeedbackUs = nowUs;
}

void MUDPUnit::markProbe(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs)
{
    const uint32_t txn = path->nextTxn(nowUs, true, nullptr);
    const int64_t rttMs = path->rate ? path->rate->smoothedRttUs() / 1000 : 0;
    mark::writeData(packet, uint8_t(mark::FeedbackNow | (path->seriesHeard ? 0 : mark::NewSeries)), rttMs, txn, nowUs);
}

void MUDPUnit::writeSingleNow(const NOLVUDPPACKET &packet, quint32 address, const char *destIP, unsigned short port)
{
    if (address)
        writeDatagram(packet, QHostAddress(address), port);
    else
        writeDatagram(packet, QHostAddress(QString::fromLatin1(destIP, qsizetype(strnlen(destIP, 16)))), port);
    ++writesSinceDrain;
}
