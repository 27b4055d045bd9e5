// What this library writes into the 12 `reserved` bytes of every datagram it
// sends. A peer that writes zeros there and never reads them sees nothing of
// it; between our own units it makes a peer known as one that takes part,
// numbers the paced datagrams for the rate controller, and carries the
// receiver's feedback back to the sender. Layouts (little-endian), after a
// magic byte and a byte of version (high nibble) and kind (low nibble):
//
//   kind 1, data mark:     flags (1), round-trip hint in 2 ms units (1),
//                          transmission number (4), send time in µs (4)
//   kind 2, feedback mark: newest transmission number received (4),
//                          how long ago it arrived, in 32 µs units (2),
//                          datagrams with a number received so far (4)
//
// A transmission number is per destination, new for every datagram written
// at the pace of the path (first writes and rewrites of a buffer's packets,
// and control words to a destination that has not yet proven it receives
// them); 0 marks a datagram outside that count. A destination's numbers
// start at a random point, so feedback that names one proves that it came
// from a receiver of that destination's datagrams.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/wire.h"

namespace mark {

constexpr uint8_t kMagic = 0xA7;
constexpr uint8_t kVersion = 1;
enum Kind : uint8_t { None = 0, Data = 1, Feedback = 2 };
// Data mark flags: answer this one with feedback at once; the sender has had
// feedback from this receiver lately (one that sees it stay away from the
// sender's datagrams while it gives feedback falls back to REQUESTs); the
// sender's numbers are a series that no feedback has named yet (a new path,
// a restarted unit: the receiver counts afresh).
enum Flag : uint8_t { FeedbackNow = 0x01, HearsFeedback = 0x02, NewSeries = 0x04 };

constexpr int64_t kHoldUnitUs = 32;
constexpr int64_t kRttHintUnitMs = 2;

struct DataMark {
    uint8_t magic;
    uint8_t versionKind;
    uint8_t flags;
    uint8_t rttHint;
    uint32_t txn;
    uint32_t sentUs;
};

struct FeedbackMark {
    uint8_t magic;
    uint8_t versionKind;
    uint8_t newestTxn[4];
    uint8_t holdUnits[2];
    uint8_t received[4];
};

static_assert(sizeof(DataMark) == sizeof(NOLVUDPPACKET::reserved), "data mark fills the reserved bytes");
static_assert(offsetof(DataMark, flags) == 2 && offsetof(DataMark, rttHint) == 3, "data mark head");
static_assert(offsetof(DataMark, txn) == 4 && offsetof(DataMark, sentUs) == 8, "data mark numbers");
static_assert(sizeof(FeedbackMark) == sizeof(NOLVUDPPACKET::reserved), "feedback mark fills the reserved bytes");
static_assert(offsetof(FeedbackMark, newestTxn) == 2 && offsetof(FeedbackMark, holdUnits) == 6 &&
                  offsetof(FeedbackMark, received) == 8,
              "feedback mark fields");

// What a datagram's reserved bytes say, decoded.
struct Mark {
    Kind kind = None;
    // Data mark:
    uint8_t flags = 0;
    int64_t rttHintMs = 0;
    uint32_t txn = 0;
    uint32_t sentUs = 0;
    // Feedback mark:
    uint32_t newestTxn = 0;
    int64_t holdUs = 0;
    uint32_t received = 0;
};

Mark read(const NOLVUDPPACKET &packet);
void writeData(NOLVUDPPACKET &packet, uint8_t flags, int64_t rttMs, uint32_t txn, int64_t nowUs);
void writeFeedback(NOLVUDPPACKET &packet, uint32_t newestTxn, int64_t holdUs, uint32_t received);

} // namespace mark
