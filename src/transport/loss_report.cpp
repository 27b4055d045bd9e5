#include "transport/loss_report.h"

#include <cstring>

#include "transport/wire.h"

namespace transport {

LossReportWriter::LossReportWriter() : used(int(sizeof head))
{
    head.version = kLossReportVersion;
}

bool LossReportWriter::add(int32_t date, int32_t time, int first, int last)
{
    if (first < 1 || last < first || last > wire::kMaxPackets)
        return true; // nothing to report
    const bool sameMessage = entryAt >= 0 && entryDate == date && entryTime == time;
    const int need = int(sizeof(LossRange)) + (sameMessage ? 0 : int(sizeof(LossReportEntry)));
    if (used + need > kLossReportBytes || (!sameMessage && head.entries == 255))
        return false;
    if (!sameMessage) {
        LossReportEntry entry{date, time, 0, 0};
        entryAt = used;
        entryDate = date;
        entryTime = time;
        std::memcpy(bytes + used, &entry, sizeof entry);
        used += int(sizeof entry);
        ++head.entries;
    }
    LossReportEntry entry;
    std::memcpy(&entry, bytes + entryAt, sizeof entry);
    if (entry.ranges == 0xffff)
        return false;
    ++entry.ranges;
    std::memcpy(bytes + entryAt, &entry, sizeof entry);
    const LossRange r{uint16_t(first), uint16_t(last)};
    std::memcpy(bytes + used, &r, sizeof r);
    used += int(sizeof r);
    return true;
}

const char *LossReportWriter::data()
{
    std::memcpy(bytes, &head, sizeof head);
    return bytes;
}

bool readLossReport(const char *body, int length,
                    const std::function<void(int32_t, int32_t, int, int)> &range)
{
    if (!body || length < int(sizeof(LossReportHead)))
        return false;
    LossReportHead head;
    std::memcpy(&head, body, sizeof head);
    if (head.version != kLossReportVersion)
        return false;
    int at = int(sizeof head);
    for (int e = 0; e < head.entries; ++e) {
        if (at + int(sizeof(LossReportEntry)) > length)
            return false;
        LossReportEntry entry;
        std::memcpy(&entry, body + at, sizeof entry);
        at += int(sizeof entry);
        for (int r = 0; r < entry.ranges; ++r) {
            if (at + int(sizeof(LossRange)) > length)
                return false;
            LossRange lost;
            std::memcpy(&lost, body + at, sizeof lost);
            at += int(sizeof lost);
            if (lost.first < 1 || lost.last < lost.first || lost.last > wire::kMaxPackets)
                return false;
            range(entry.date, entry.time, lost.first, lost.last);
        }
    }
    return true;
}

} // namespace transport
