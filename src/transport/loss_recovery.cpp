// Loss recovery between timer ticks. The receiver asks for the missing
// packets of an incomplete message as soon as the gaps are evident and again
// until the message is complete or expires: a sender that marks its
// datagrams gets them as ranges in FEEDBACK, any other a REQUEST per packet,
// paced like a buffer's packets. The sender re-sends packet 1 early when a
// destination stays silent after a message. Both run from one single-shot
// timer armed for the next piece of due work, which also sends the feedback
// that time makes due.
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>

#include "platform/clock.h"
#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/endpoint.h"
#include "transport/identity.h"
#include "transport/loss_report.h"
#include "transport/protocol_texts.h"
#include "unit/mudp_unit.h"

namespace {
// A round waits this long after the last packet or round before asking
// again; at least three times the measured answer delay.
constexpr int64_t kMinQuietMs = 12;
// Before the first round the record must be quiet three times as long, so that a
// sender that is merely slow is not asked for its tail.
constexpr int kFirstRoundFactor = 3;
// A record is quiet only after twice the longest pause its sender made
// between packets.
constexpr int64_t kSenderPauseFactor = 2;
// Rounds that bring no packet back off, doubling up to the tick period.
constexpr int64_t kMaxIntervalMs = 2000;
// A round asks for at most this many packets, or twice the packets already
// received if that is more, so one forged datagram cannot make a unit send
// thousands of requests.
constexpr int kMinRoundRequests = 64;
// Requests of one pass over all records, and of one source within it: the
// sources take turns, so records that one source keeps in front cannot
// starve the others.
constexpr int kMaxRequestsPerPass = 1024;
constexpr int kMaxRequestsPerSource = 256;
// Loss reports: packets one record reports a round (ranges make them one
// datagram), and FEEDBACK datagrams one source gets a pass.
constexpr int kMaxReportedPerRound = 8192;
constexpr int kMaxReportsPerSource = 4;
// Packets after the highest one received that a round asks for: a sender
// that merely paused then writes at most this many twice, while a lost tail
// comes back a run at a time (and whole once its last packet is in).
constexpr int kTailProbe = 15;
// A sender writing one message to many destinations comes back to each one
// only after writing to all the others: tens to hundreds of milliseconds for
// a list to a thousand clients. Packets after the highest received are asked
// for only after this long a silence (or four times the longest pause seen),
// so that such pauses are not taken for a lost tail; gaps below it are asked
// for sooner, since datagrams from one sender arrive in order. A lost tail
// is usually asked for sooner still: once the sender has written the whole
// message it sends packet 1 again to a silent receiver (see resendEarly),
// and that repeat shows that everything still missing is lost.
constexpr int64_t kMinTailQuietMs = 400;
constexpr int kTailPauseFactor = 4;
// A gap reported to a sender that marks its datagrams is reported again
// after its round trip and a half and this margin, if still missing.
constexpr int64_t kReportMarginMs = 10;
constexpr int64_t kDefaultSenderRttMs = 20;

// Early resends of packet 1: after four times the RECEIVED delay (at least
// 100 ms), doubling, at most three before the destination is heard again.
// Toward a peer with a rate controller: after twice its round trip and a
// margin, since its receipts come without delay.
constexpr int64_t kMinResendMs = 100;
constexpr int64_t kMaxResendMs = 1000;
constexpr int kMaxEarlyResends = 3;
constexpr int64_t kDefaultAckDelayMs = 25;
constexpr int64_t kMinPathResendMs = 20;

int64_t smooth(int64_t average, int64_t sample)
{
    return average == 0 ? sample : average + (sample - average) / 8;
}

bool hasGaps(const NOLVUDPBUFFER *record) { return record->count < record->highestIndex; }

// When the packets after the highest one received may be asked for.
int64_t tailDue(const NOLVUDPBUFFER *record)
{
    if (record->senderDone)
        return record->lastArrivalMs;
    const int64_t quiet =
        std::min(std::max(kMinTailQuietMs, kTailPauseFactor * record->arrivalGapMs), kMaxIntervalMs);
    return record->lastArrivalMs + quiet;
}

int64_t backedOff(int64_t interval, int rounds)
{
    for (int i = 0; i < rounds && interval < kMaxIntervalMs; ++i)
        interval *= 2;
    return std::min(interval, kMaxIntervalMs);
}

// Reported gaps are reported again after this long. A report is one
// datagram, and a lost resend is found only this way: the interval stays
// short while rounds are few, and only a sender silent for several rounds in
// a row (backing off, or gone) makes it double, up to 2 s.
constexpr int kQuietReportsBeforeBackoff = 3;

int64_t reReportMs(const PeerPath *path, const NOLVUDPBUFFER *record)
{
    const int64_t rtt = path && path->senderRttMs ? path->senderRttMs : kDefaultSenderRttMs;
    return backedOff(rtt * 3 / 2 + kReportMarginMs, std::max(0, record->quietRounds - kQuietReportsBeforeBackoff));
}
} // namespace

bool MUDPUnit::reportsLoss(const NOLVUDPBUFFER *record) const
{
    // Ranges go only to the sender of a message whose datagrams came
    // numbered (another peer may have the address one of our units had). A
    // sender whose datagrams say it hears no feedback from us gets its
    // losses asked for with a REQUEST per packet, which every sender
    // understands (something on the way drops FEEDBACK).
    const PeerPath *path = paths.find(transport::endpointId(record->source, record->port));
    return record->numbered && path && path->sendsMarked(platform::monotonicUs()) &&
           !path->feedbackUnheard(platform::monotonicUs());
}

void MUDPUnit::noteArrival(NOLVUDPBUFFER *record, int index)
{
    const int64_t now = platform::monotonicMs();
    // The first packet after one request round answers it: a clean sample
    // of the answer delay.
    if (record->quietRounds == 1 && record->lastRoundMs > 0)
        answerDelayMs = smooth(answerDelayMs, now - record->lastRoundMs);
    // A pause not ended by a request round is the sender's own pacing (a
    // server writing a list to a thousand clients comes back to each one
    // every few dozen milliseconds): no round may call that pause a loss.
    if (record->quietRounds == 0 && record->lastArrivalMs > 0)
        record->arrivalGapMs = std::max(record->arrivalGapMs, std::min(now - record->lastArrivalMs, kMaxIntervalMs));
    record->quietRounds = 0;
    record->lastArrivalMs = now;
    if (index > record->highestIndex + 1 && index - 1 > record->reportedUpTo)
        record->newGap = true; // datagrams of one sender come in order: what is between is lost
    if (index > record->highestIndex)
        record->highestIndex = index;
    while (record->firstMissing < record->total && hasPacket(record, record->firstMissing))
        ++record->firstMissing; // 0-based: the first slot without a packet
    if (record->count == record->total)
        return;
    if (index == record->total)
        record->requestNow = true; // every gap is evident now
    if (record->newGap || record->requestNow)
        armLossTimer(recoveryDue(record));
}

void MUDPUnit::noteSenderDone(NOLVUDPBUFFER *record)
{
    // Packet 1 again, for a message not complete: the sender has written it
    // all and heard nothing, so what is missing now, the tail too, is lost.
    // One of our units writes it again so only after a quiet round trip;
    // while its packets still arrive, it answers a report (perhaps a forged
    // one) and the rest is on its way.
    if (reportsLoss(record)) {
        const PeerPath *path = paths.find(transport::endpointId(record->source, record->port));
        const int64_t rttMs = path && path->senderRttMs ? path->senderRttMs : kDefaultSenderRttMs;
        if (platform::monotonicMs() - record->lastArrivalMs < rttMs)
            return;
    }
    record->senderDone = true;
    record->requestNow = true;
    armLossTimer(recoveryDue(record));
}

int64_t MUDPUnit::recoveryDue(const NOLVUDPBUFFER *record) const
{
    if (record->count >= record->total || record->age >= 10 || record->inUse > 0 || record->superseded)
        return 0;
    if (record->requestNow)
        return std::max(record->lastArrivalMs, int64_t(1));
    if (reportsLoss(record)) {
        if (record->newGap)
            return std::max(record->lastArrivalMs, int64_t(1));
        // Ranges already reported come again after the sender's round trip;
        // the tail once the record has been quiet as below.
        const PeerPath *path = paths.find(transport::endpointId(record->source, record->port));
        const int64_t again = record->lastReportUs / 1000 + reReportMs(path, record);
        return hasGaps(record) && record->lastReportUs ? again : tailDue(record);
    }
    int64_t quiet = std::max(kMinQuietMs, 3 * answerDelayMs);
    if (record->lastRoundMs == 0)
        quiet *= kFirstRoundFactor;
    quiet = std::max(quiet, kSenderPauseFactor * record->arrivalGapMs);
    const int64_t gapsDue = std::max(record->lastArrivalMs, record->lastRoundMs) + backedOff(quiet, record->quietRounds);
    // With gaps the rounds keep their pace and take in the tail once it is
    // due; without, the first round waits for the tail.
    return hasGaps(record) ? gapsDue : std::max(gapsDue, tailDue(record));
}

int MUDPUnit::requestLostPackets(NOLVUDPBUFFER *record, int64_t now, int budget)
{
    // Ask for the gaps below the highest packet received and, once the
    // sender has been silent long enough, for a run of packets after it.
    // The requests wait in the sender's queue and go at the protocol's pace.
    char ip[16];
    text::copyText(ip, record->ip);
    const unsigned short port = record->port;
    const int limit = std::min(budget, std::max(kMinRoundRequests, 2 * record->count));
    const bool tailQuiet = record->requestNow || now >= tailDue(record);
    const int tailEnd = record->highestIndex + (tailQuiet ? kTailProbe : 0);
    record->requestNow = false;
    record->newGap = false;
    record->lastRoundMs = now;
    ++record->quietRounds;
    const QByteArray name = text::fieldBytes(localName);
    int asked = 0;
    for (int slot = record->firstMissing; slot < record->total && slot < tailEnd && asked < limit; ++slot) {
        if (hasPacket(record, slot) || !queueRequest(record->date, record->time, slot + 1, ip, port))
            continue; // there, or its request still waits to go
        const QByteArray request = transport::requestText(name, record->date, record->time, slot + 1);
        writeLog(tr("Request for Lost Packet:") + QString::fromLatin1(request) + fromLabel(ip));
        ++asked;
    }
    return asked;
}

int MUDPUnit::reportLostPackets(NOLVUDPBUFFER *record, PeerPath *path, int64_t nowUs,
                                transport::LossReportWriter &report)
{
    // New gaps (above what was reported) now, older ones again after the
    // sender's round trip, the tail once it is due: as ranges.
    const int64_t nowMs = nowUs / 1000;
    const bool again = record->lastReportUs == 0 || nowMs >= record->lastReportUs / 1000 + reReportMs(path, record);
    const bool tailQuiet = record->requestNow || nowMs >= tailDue(record);
    const int from = again ? record->firstMissing : std::max(record->firstMissing, int(record->reportedUpTo));
    const int end = tailQuiet ? record->total : record->highestIndex; // 0-based slots before it
    record->requestNow = false;
    record->newGap = false;
    record->lastRoundMs = nowMs;
    ++record->quietRounds;
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
    if (again || reported > 0)
        record->lastReportUs = nowUs;
    if (reported > 0)
        writeLog(tr("Report lost packets:") + QString::fromLatin1(identityKey(record->date, record->time)) +
                 tr(" Count:") + QString::number(reported) + fromLabel(path->ip));
    return reported;
}

void MUDPUnit::lossRecoveryPass()
{
    EntryGuard guard(*this);
    if (lossPassBusy)
        return;
    lossPassBusy = true;
    // Datagrams waiting in the socket (the unit was not scheduled for a
    // while) are read first: a record is quiet only if nothing came.
    if (receiveDepth == 0 && (!backlog.empty() || (recvSocket->state() == QAbstractSocket::BoundState &&
                                                    recvSocket->hasPendingDatagrams())))
        processPendingDatagrams();
    const int64_t nowUs = platform::monotonicUs();
    const int64_t now = nowUs / 1000;
    // The records due, taken first: the log lines below may run handlers.
    // Sources take turns: each gets at most its share of a pass, and the
    // pass starts one record further each time.
    QList<NOLVUDPBUFFER *> due;
    const int n = int(recvBuffers.size());
    const int start = n ? int(lossPassTurn++ % quint64(n)) : 0;
    for (int k = 0; k < n; ++k) {
        NOLVUDPBUFFER *record = recvBuffers.at((start + k) % n);
        const int64_t at = recoveryDue(record);
        if (at != 0 && now >= at)
            due.append(record);
    }
    QHash<quint64, int> askedOf;
    QHash<quint64, transport::LossReportWriter> reports;
    QHash<quint64, int> reportsSent;
    int budget = kMaxRequestsPerPass;
    for (NOLVUDPBUFFER *record : due) {
        if (budget <= 0)
            break;
        if (findRecvBuffer(record->ip, record->date, record->time, record->port) != record || record->inUse > 0)
            continue; // expired meanwhile, or a dispatch works on it
        const quint64 source = transport::endpointId(record->source, record->port);
        int &asked = askedOf[source];
        if (asked >= kMaxRequestsPerSource)
            continue;
        ++record->inUse;
        PeerPath *path = paths.find(source);
        if (path && reportsLoss(record)) {
            transport::LossReportWriter &report = reports[source];
            int got = reportLostPackets(record, path, nowUs, report);
            if (got == 0 && !report.isEmpty() && reportsSent[source] < kMaxReportsPerSource) {
                // The report is full: it goes, and this record fills the next.
                sendFeedback(path, nowUs, &report);
                ++reportsSent[source];
                report = transport::LossReportWriter();
                record->lastReportUs = 0;
                got = reportLostPackets(record, path, nowUs, report);
            }
            asked += std::min(got, 16); // a range is one datagram, however long
            budget -= std::min(got, 16);
        } else {
            const int got = requestLostPackets(record, now, std::min(budget, kMaxRequestsPerSource - asked));
            asked += got;
            budget -= got;
        }
        --record->inUse;
    }
    for (auto it = reports.begin(); it != reports.end(); ++it)
        if (PeerPath *path = paths.find(it.key()); path && !it.value().isEmpty())
            sendFeedback(path, nowUs, &it.value());
    // Feedback that time has made due.
    paths.forEach([&](PeerPath *path) {
        const int64_t at = feedbackDueUs(path);
        if (at != 0 && nowUs >= at && !path->feedbackDue) {
            path->feedbackDue = true;
            feedbackOwed.append(path->id);
        }
    });
    sendDueFeedback();
    for (int i = 0; i < sendRecords.size(); ++i) {
        SENDRECORD *record = sendRecords.at(i);
        const int64_t at = earlyResendDue(record);
        if (at != 0 && now >= at)
            resendEarly(record);
    }
    if (!activePaths.isEmpty())
        writeWhatIsDue(1024);
    lossPassBusy = false;
    rearmLossTimer();
}

void MUDPUnit::rearmLossTimer()
{
    int64_t next = 0;
    auto consider = [&next](int64_t due) {
        if (due != 0 && (next == 0 || due < next))
            next = due;
    };
    for (const NOLVUDPBUFFER *record : recvBuffers.all())
        consider(recoveryDue(record));
    for (const SENDRECORD *record : sendRecords.all())
        consider(earlyResendDue(record));
    paths.forEach([&](const PeerPath *path) { consider(feedbackDueUs(path) / 1000); });
    armLossTimer(next);
}

void MUDPUnit::armLossTimer(int64_t dueMs)
{
    if (dueMs == 0)
        return;
    const int delay = static_cast<int>(std::clamp<int64_t>(dueMs - platform::monotonicMs(), 0, kMaxIntervalMs));
    if (!lossTimer->isActive() || lossTimer->remainingTime() > delay)
        lossTimer->start(delay);
}

int64_t MUDPUnit::earlyResendDue(const SENDRECORD *record) const
{
    if (record->retries < 1 || record->retries > wire::kInitialRetries || record->lastActiveMs == 0 ||
        record->earlyResends >= kMaxEarlyResends || record->writing)
        return 0;
    int64_t delay = std::clamp<int64_t>(4 * (ackDelayMs ? ackDelayMs : kDefaultAckDelayMs), kMinResendMs,
                                        kMaxResendMs);
    const PeerPath *path = paths.find(transport::endpointId(transport::parseIPv4(record->ip), record->port));
    if (path && path->rate && path->rate->smoothedRttUs() > 0 && path->capable(platform::monotonicUs()))
        delay = std::clamp<int64_t>(2 * path->rate->smoothedRttUs() / 1000 + kReportMarginMs, kMinPathResendMs,
                                    kMaxResendMs);
    return record->lastActiveMs + (delay << record->earlyResends);
}

void MUDPUnit::resendEarly(SENDRECORD *record)
{
    // Neither logged nor counted as a retry: the tick's resends, their log
    // lines and the give-up stay as they are for a destination that is gone.
    const NOLVUDPBUFFER *buffer = findSentBuffer(record->date, record->time);
    if (!buffer) {
        record->earlyResends = kMaxEarlyResends; // pushed out: nothing to resend
        return;
    }
    ++record->earlyResends;
    record->lastActiveMs = platform::monotonicMs();
    char ip[16];
    text::copyText(ip, record->ip);
    queueResend(buffer, 0, ip, record->port);
}

void MUDPUnit::noteSendWritten(SENDRECORD *record)
{
    record->lastActiveMs = platform::monotonicMs();
    record->earlyResends = 0;
    armLossTimer(earlyResendDue(record));
}

void MUDPUnit::noteDestinationHeard(SENDRECORD *record, bool acknowledged)
{
    const int64_t now = platform::monotonicMs();
    // Only a RECEIVED to a message sent once and never resent times the
    // round trip without doubt.
    if (acknowledged && record->retries == wire::kInitialRetries && record->earlyResends == 0 &&
        record->lastActiveMs > 0)
        ackDelayMs = smooth(ackDelayMs, std::max<int64_t>(1, now - record->lastActiveMs));
    record->heard = true;
    record->lastActiveMs = now;
    record->earlyResends = 0;
    if (!acknowledged)
        armLossTimer(earlyResendDue(record));
}
