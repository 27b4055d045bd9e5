#include "transport/receive/receive_budget.h"

#include <cstring>

namespace {
QByteArray sourceKey(const char *ip) { return QByteArray(ip, qsizetype(strnlen(ip, 16))); }
} // namespace

bool ReceiveBudget::fits(const char *ip, qint64 bytes) const
{
    return total + bytes <= kTotalBytes && heldFrom(ip) + bytes <= kPerSourceBytes;
}

void ReceiveBudget::add(const char *ip, qint64 bytes)
{
    total += bytes;
    bySource[sourceKey(ip)] += bytes;
}

void ReceiveBudget::release(const char *ip, qint64 bytes)
{
    total -= bytes;
    auto it = bySource.find(sourceKey(ip));
    if (it == bySource.end())
        return;
    it.value() -= bytes;
    if (it.value() <= 0)
        bySource.erase(it);
}

qint64 ReceiveBudget::heldFrom(const char *ip) const { return bySource.value(sourceKey(ip)); }
