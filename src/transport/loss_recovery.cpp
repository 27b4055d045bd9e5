// Loss recovery between timer ticks. The receiver asks for the missing
// packets of an incomplete message as soon as the gaps are evident and again
// after every quiet interval until the message is complete or expires; the
// sender re-sends packet 1 early when a destination stays silent after a
// message, timed from the measured delay of RECEIVED. Both run from one
// single-shot timer armed for the next piece of due work.
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>

#include "platform/clock.h"
#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/identity.h"
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
// Requests of one pass over all records (each run of 15 waits one round).
constexpr int kMaxRequestsPerPass = 1024;
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

// Early resends of packet 1: after four times the RECEIVED delay (at least
// 100 ms), doubling, at most three before the destination is heard again.
constexpr int64_t kMinResendMs = 100;
constexpr int64_t kMaxResendMs = 1000;
constexpr int kMaxEarlyResends = 3;
constexpr int64_t kDefaultAckDelayMs = 25;

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
} // namespace

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
    if (index > record->highestIndex)
        record->highestIndex = index;
    if (record->count == record->total)
        return;
    if (index == record->total)
        record->requestNow = true; // every gap is evident now
    armLossTimer(recoveryDue(record));
}

void MUDPUnit::noteSenderDone(NOLVUDPBUFFER *record)
{
    // Packet 1 again, for a message not complete: the sender has written it
    // all and heard nothing, so what is missing now, the tail too, is lost.
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
    int64_t quiet = std::max(kMinQuietMs, 3 * answerDelayMs);
    if (record->lastRoundMs == 0)
        quiet *= kFirstRoundFactor;
    quiet = std::max(quiet, kSenderPauseFactor * record->arrivalGapMs);
    const int64_t gapsDue = std::max(record->lastArrivalMs, record->lastRoundMs) + backedOff(quiet, record->quietRounds);
    // With gaps the rounds keep their pace and take in the tail once it is
    // due; without, the first round waits for the tail.
    return hasGaps(record) ? gapsDue : std::max(gapsDue, tailDue(record));
}


void MUDPUnit::requestLostPackets(NOLVUDPBUFFER *record, int64_t now, int &budget)
{
    // Ask for the gaps below the highest packet received and, once the
    // sender has been silent long enough, for a run of packets after it.
    char ip[16];
    text::copyText(ip, record->ip);
    const unsigned short port = record->port;
    const int limit = std::min(budget, std::max(kMinRoundRequests, 2 * record->count));
    const bool tailQuiet = record->requestNow || now >= tailDue(record);
    const int tailEnd = record->highestIndex + (tailQuiet ? kTailProbe : 0);
    record->requestNow = false;
    record->lastRoundMs = now;
    ++record->quietRounds;
    const QString from = tr(" From:") + QString::fromLatin1(ip);
    PacedRun run;
    int asked = 0;
    for (int slot = 0; slot < record->total && slot < tailEnd && asked < limit; ++slot) {
        if (hasPacket(record, slot))
            continue;
        const QByteArray request =
            "REQUEST$" + text::fieldBytes(localName) + packetKey(record->date, record->time, slot + 1);
        writeText(request, ip, port);
        writeLog(tr("Request for Lost Packet:") + QString::fromLatin1(request) + from);
        ++asked;
        if (run.next(ip, port, platform::monotonicMs()))
            waitWithEvents(1); // answers that arrive meanwhile fill slots
    }
    budget -= asked;
}

void MUDPUnit::lossRecoveryPass()
{
    if (lossPassBusy)
        return;
    lossPassBusy = true;
    // Datagrams waiting in the socket (the unit was not scheduled for a
    // while) are read first: a record is quiet only if nothing came.
    if (receiveDepth == 0 && (!backlog.empty() || recvSocket->hasPendingDatagrams()))
        processPendingDatagrams();
    // Sends below process events: nested dispatch may append records or fill
    // slots, and a nested tick may remove records, so walk by position and
    // hold each record only while it is marked in use.
    int budget = kMaxRequestsPerPass;
    for (int i = 0; i < recvBuffers.size() && budget > 0; ++i) {
        NOLVUDPBUFFER *record = recvBuffers.at(i);
        const int64_t due = recoveryDue(record);
        if (due == 0 || platform::monotonicMs() < due)
            continue;
        ++record->inUse;
        requestLostPackets(record, platform::monotonicMs(), budget);
        --record->inUse;
    }
    for (int i = 0; i < sendRecords.size(); ++i) {
        SENDRECORD *record = sendRecords.at(i);
        const int64_t due = earlyResendDue(record);
        if (due != 0 && platform::monotonicMs() >= due)
            resendEarly(record);
    }
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
    armLossTimer(next);
}

void MUDPUnit::armLossTimer(int64_t dueMs)
{
    if (dueMs == 0 || platform::clockReplaced())
        return;
    const int delay = static_cast<int>(std::clamp<int64_t>(dueMs - platform::monotonicMs(), 0, kMaxIntervalMs));
    if (!lossTimer->isActive() || lossTimer->remainingTime() > delay)
        lossTimer->start(delay);
}

int64_t MUDPUnit::earlyResendDue(const SENDRECORD *record) const
{
    if (record->retries < 1 || record->retries > wire::kInitialRetries || record->lastActiveMs == 0 ||
        record->earlyResends >= kMaxEarlyResends)
        return 0;
    const int64_t delay = std::clamp<int64_t>(4 * (ackDelayMs ? ackDelayMs : kDefaultAckDelayMs), kMinResendMs,
                                              kMaxResendMs);
    return record->lastActiveMs + (delay << record->earlyResends);
}

void MUDPUnit::resendEarly(SENDRECORD *record)
{
    // Neither logged nor counted as a retry: the tick's resends, their log
    // lines and the give-up stay as they are for a destination that is gone.
    NOLVUDPBUFFER *buffer = findSentBuffer(record->date, record->time);
    if (!buffer) {
        record->earlyResends = kMaxEarlyResends; // pushed out: nothing to resend
        return;
    }
    if (buffer->inUse > 0) {
        record->lastActiveMs = platform::monotonicMs(); // still being written
        return;
    }
    ++record->earlyResends;
    record->lastActiveMs = platform::monotonicMs();
    char ip[16];
    text::copyText(ip, record->ip);
    returnRequestedPacket(packetSlot(buffer, 0), ip, record->port); // record may go in the wait
}

void MUDPUnit::noteSendWritten(const NOLVUDPBUFFER *buffer, const char *ip, unsigned short port)
{
    // Looked up again: a tick inside the send's waits may have removed it.
    if (SENDRECORD *record = findSendRecord(buffer->date, buffer->time, ip, port)) {
        record->lastActiveMs = platform::monotonicMs();
        record->earlyResends = 0;
        armLossTimer(earlyResendDue(record));
    }
}

void MUDPUnit::noteDestinationHeard(SENDRECORD *record, bool acknowledged)
{
    const int64_t now = platform::monotonicMs();
    // Only a RECEIVED to a message sent once and never resent times the
    // round trip without doubt.
    if (acknowledged && record->retries == wire::kInitialRetries && record->earlyResends == 0 &&
        record->lastActiveMs > 0)
        ackDelayMs = smooth(ackDelayMs, std::max<int64_t>(1, now - record->lastActiveMs));
    record->lastActiveMs = now;
    record->earlyResends = 0;
    if (!acknowledged)
        armLossTimer(earlyResendDue(record));
}
