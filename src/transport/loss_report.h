// The body of a FEEDBACK message: the packets a receiver misses, as ranges per
// message, so one datagram asks for what would take a REQUEST per packet.
// After the 80-byte header, little-endian:
//
//   head:   version (1), entry count (1), spare (2)
//   entry:  date (4), time (4), range count (2), spare (2), then per range
//           the first and the last missing packet number (2 + 2)
//
// A body holds at most 420 bytes: what fits is reported now, the rest at the
// receiver's next round.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace transport {

struct LossReportHead {
    uint8_t version;
    uint8_t entries;
    uint16_t spare;
};

struct LossReportEntry {
    int32_t date;
    int32_t time;
    uint16_t ranges;
    uint16_t spare;
};

struct LossRange {
    uint16_t first; // 1-based packet numbers, first <= last
    uint16_t last;
};

static_assert(sizeof(LossReportHead) == 4, "loss report head");
static_assert(sizeof(LossReportEntry) == 12 && offsetof(LossReportEntry, ranges) == 8, "loss report entry");
static_assert(sizeof(LossRange) == 4 && offsetof(LossRange, last) == 2, "loss range");

constexpr int kLossReportBytes = 420;
constexpr uint8_t kLossReportVersion = 1;

class LossReportWriter {
public:
    LossReportWriter();
    // Adds the missing packets first..last of a message; false when the body
    // is full (nothing of the range was added).
    bool add(int32_t date, int32_t time, int first, int last);
    bool isEmpty() const { return head.entries == 0; }
    // The body: its bytes and their count.
    const char *data();
    int size() const { return used; }

private:
    char bytes[kLossReportBytes];
    LossReportHead head{};
    int used;
    int entryAt = -1; // offset of the entry being filled
    int32_t entryDate = 0;
    int32_t entryTime = 0;
};

// Calls `range` for every range of a body of `length` bytes; false (after
// the ranges before it) when the body is malformed: short, an entry or range
// past its end, a range outside 1..32767 or reversed, another version.
bool readLossReport(const char *body, int length,
                    const std::function<void(int32_t date, int32_t time, int first, int last)> &range);

} // namespace transport
