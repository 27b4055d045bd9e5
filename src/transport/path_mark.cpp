#include "transport/path_mark.h"

#include <algorithm>
#include <cstring>

namespace mark {

namespace {

uint32_t get32(const uint8_t *p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

void put32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = uint8_t(v >> (8 * i));
}

uint8_t versionKind(Kind kind) { return uint8_t(kVersion << 4 | kind); }

} // namespace

Mark read(const NOLVUDPPACKET &packet)
{
    Mark m;
    const auto *bytes = reinterpret_cast<const uint8_t *>(packet.reserved);
    if (bytes[0] != kMagic || bytes[1] >> 4 != kVersion)
        return m;
    if ((bytes[1] & 0x0f) == Data) {
        DataMark d;
        std::memcpy(&d, bytes, sizeof d);
        m.kind = Data;
        m.flags = d.flags;
        m.rttHintMs = int64_t(d.rttHint) * kRttHintUnitMs;
        m.txn = d.txn;
        m.sentUs = d.sentUs;
    } else if ((bytes[1] & 0x0f) == Feedback) {
        FeedbackMark f;
        std::memcpy(&f, bytes, sizeof f);
        m.kind = Feedback;
        m.newestTxn = get32(f.newestTxn);
        m.holdUs = int64_t(f.holdUnits[0] | f.holdUnits[1] << 8) * kHoldUnitUs;
        m.received = get32(f.received);
    }
    return m;
}

void writeData(NOLVUDPPACKET &packet, uint8_t flags, int64_t rttMs, uint32_t txn, int64_t nowUs)
{
    DataMark d;
    d.magic = kMagic;
    d.versionKind = versionKind(Data);
    d.flags = flags;
    d.rttHint = uint8_t(std::clamp<int64_t>((rttMs + kRttHintUnitMs - 1) / kRttHintUnitMs, 0, 255));
    d.txn = txn;
    d.sentUs = uint32_t(nowUs);
    std::memcpy(packet.reserved, &d, sizeof d);
}

void writeFeedback(NOLVUDPPACKET &packet, uint32_t newestTxn, int64_t holdUs, uint32_t received)
{
    FeedbackMark f;
    f.magic = kMagic;
    f.versionKind = versionKind(Feedback);
    put32(f.newestTxn, newestTxn);
    const int64_t units = std::clamp<int64_t>(holdUs / kHoldUnitUs, 0, 0xffff);
    f.holdUnits[0] = uint8_t(units);
    f.holdUnits[1] = uint8_t(units >> 8);
    put32(f.received, received);
    std::memcpy(packet.reserved, &f, sizeof f);
}

} // namespace mark
