#include "transport/receive/loss_timing.h"

#include <algorithm>

namespace loss {

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
// A sender writing one message to many destinations comes back to each one
// only after writing to all the others: tens to hundreds of milliseconds for
// a list to a thousand clients. Packets after the highest received are asked
// for only after this long a silence (or four times the longest pause seen),
// so that such pauses are not taken for a lost tail; gaps below it are asked
// for sooner, since datagrams from one sender arrive in order. A lost tail
// is usually asked for sooner still: once the sender has written the whole
// message it sends packet 1 again to a silent receiver (an early resend),
// and that repeat shows that everything still missing is lost.
constexpr int64_t kMinTailQuietMs = 400;
constexpr int kTailPauseFactor = 4;
// One of our units (its datagrams come numbered) writes a silent receiver
// the message's last packet again once it has written it all (packet 1 when
// it hears no feedback), and again on its resend timer, each of which makes
// the tail due at once: its own silence is only a fallback, long enough for
// a server that comes back to each of 3,000 clients seconds apart (400 ms
// made the clients ask hundreds of thousands of times for packets of a
// whole list not yet written, 2 s still tens of thousands).
constexpr int64_t kNumberedTailQuietMs = 4 * kMaxIntervalMs;
// Reported gaps are reported again after this long. A report is one
// datagram, and a lost resend is found only this way: the interval stays
// short while rounds are few, and only a sender silent for several rounds in
// a row (backing off, or gone) makes it double, up to 2 s.
constexpr int kQuietReportsBeforeBackoff = 3;
} // namespace

int64_t tailDue(const NOLVUDPBUFFER *record)
{
    if (record->senderDone)
        return record->lastArrivalMs;
    if (record->numbered)
        return record->lastArrivalMs + kNumberedTailQuietMs;
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

int64_t reReportMs(int64_t senderRttMs, const NOLVUDPBUFFER *record)
{
    const int64_t rtt = senderRttMs ? senderRttMs : kDefaultSenderRttMs;
    return backedOff(rtt * 3 / 2 + kReportMarginMs, std::max(0, record->quietRounds - kQuietReportsBeforeBackoff));
}

int64_t requestRoundDue(const NOLVUDPBUFFER *record, int64_t answerDelayMs)
{
    int64_t quiet = std::max(kMinQuietMs, 3 * answerDelayMs);
    if (record->lastRoundMs == 0)
        quiet *= kFirstRoundFactor;
    quiet = std::max(quiet, kSenderPauseFactor * record->arrivalGapMs);
    const int64_t gapsDue =
        std::max(record->lastArrivalMs, record->lastRoundMs) + backedOff(quiet, record->quietRounds);
    // With gaps the rounds keep their pace and take in the tail once it is
    // due; without, the first round waits for the tail.
    return hasGaps(record) ? gapsDue : std::max(gapsDue, tailDue(record));
}

int32_t settleGaps(NOLVUDPBUFFER *record, int64_t nowUs, int64_t windowUs)
{
    // The stage that began a window ago is settled: the gaps below the
    // highest packet then are at least that old.
    if (record->settlingSinceUs == 0 || nowUs - record->settlingSinceUs >= windowUs) {
        if (record->settlingSinceUs != 0)
            record->evidentUpTo = record->settlingUpTo;
        record->settlingUpTo = record->highestIndex;
        record->settlingSinceUs = nowUs;
    }
    // Nothing came for a window (and the clock's millisecond): all are old enough.
    if (nowUs / 1000 - record->lastArrivalMs > windowUs / 1000 + 1)
        record->evidentUpTo = record->highestIndex;
    return record->evidentUpTo;
}

} // namespace loss
