#include "transport/send/fan_out_receipts.h"

#include <algorithm>

void FanOutReceipts::sent(int32_t date, int32_t time, int destinations, int64_t nowMs)
{
    if (destinations < kMinDestinations)
        return;
    Message &m = messages[key(date, time)];
    m.destinations += destinations;
    m.sentMs = nowMs;
}

void FanOutReceipts::answered(int32_t date, int32_t time, int64_t nowMs)
{
    const auto it = messages.find(key(date, time));
    if (it == messages.end())
        return;
    if (++it->answered * 2 >= it->destinations && it->halfAnsweredMs == 0)
        it->halfAnsweredMs = nowMs;
    if (nowMs - it->sentMs <= kMaxSpreadMs)
        it->lastAnswerMs = nowMs;
}

int64_t FanOutReceipts::probeNotBefore(int32_t date, int32_t time, int64_t lastWriteMs, int64_t waitMs) const
{
    const auto it = messages.constFind(key(date, time));
    if (it == messages.constEnd())
        return 0;
    const int64_t flowing = it->lastAnswerMs + waitMs;
    if (it->halfAnsweredMs == 0)
        return std::max(lastWriteMs + std::max(waitMs, kMaxHoldMs), flowing);
    return std::max({lastWriteMs, it->halfAnsweredMs, it->lastAnswerMs}) + waitMs;
}

void FanOutReceipts::prune(int64_t nowMs, int64_t maxAgeMs)
{
    for (auto it = messages.begin(); it != messages.end();)
        it = it->answered >= it->destinations || nowMs - it->sentMs > maxAgeMs ? messages.erase(it) : std::next(it);
}
