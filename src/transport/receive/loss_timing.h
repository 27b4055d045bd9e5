// When the receiver asks again for the missing packets of an incomplete
// message: pure rules over the record's loss-recovery fields.
#pragma once

#include <QtGlobal>

#include "transport/wire.h"

namespace loss {

// Rounds that bring no packet back off, doubling up to the tick period.
constexpr int64_t kMaxIntervalMs = 2000;
// A gap reported to a sender that marks its datagrams is reported again
// after its round trip and a half and this margin, if still missing.
constexpr int64_t kReportMarginMs = 10;
constexpr int64_t kDefaultSenderRttMs = 20;

// Whether packets below the highest one received are missing.
inline bool hasGaps(const NOLVUDPBUFFER *record) { return record->count < record->highestIndex; }
// When the packets after the highest one received may be asked for.
int64_t tailDue(const NOLVUDPBUFFER *record);
// `interval` doubled `rounds` times, at most kMaxIntervalMs.
int64_t backedOff(int64_t interval, int rounds);
// After how long reported gaps are reported again, for a sender whose
// round-trip hint is senderRttMs (0: none).
int64_t reReportMs(int64_t senderRttMs, const NOLVUDPBUFFER *record);
// When a request round of a sender that takes REQUESTs is due, given the
// smoothed answer delay.
int64_t requestRoundDue(const NOLVUDPBUFFER *record, int64_t answerDelayMs);
// Gaps of a record whose sender takes loss reports wait until they are
// older than the reordering window (a packet that merely comes late is not
// lost): moves on the record's stages and returns the end (0-based slots
// before it) of the gaps that are old enough. A gap waits one to two windows.
int32_t settleGaps(NOLVUDPBUFFER *record, int64_t nowUs, int64_t windowUs);
// A smoothed average with a new sample.
inline int64_t smooth(int64_t average, int64_t sample)
{
    return average == 0 ? sample : average + (sample - average) / 8;
}

} // namespace loss
