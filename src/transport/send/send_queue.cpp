#include "transport/send/send_queue.h"

#include <algorithm>

size_t qHash(const PacketRef &p, size_t seed) noexcept { return qHashMulti(seed, p.date, p.time, p.index); }

namespace {
constexpr int64_t kMinAnswerWindowUs = 1000;
constexpr int64_t kMaxAnswerWindowUs = 1000000;
} // namespace

void SendQueue::addJob(SENDRECORD *record, qint64 messageBytes)
{
    jobs.append(record);
    bytes += messageBytes;
}

bool SendQueue::removeJob(SENDRECORD *record, qint64 messageBytes)
{
    if (!jobs.removeOne(record))
        return false;
    bytes = jobs.isEmpty() ? 0 : std::max<qint64>(bytes - messageBytes, 0);
    return true;
}

void SendQueue::rotate()
{
    if (jobs.size() > 1)
        jobs.append(jobs.takeFirst());
}

bool SendQueue::noteAnswer(const PacketRef &packet, int64_t nowUs, int64_t windowUs)
{
    const auto it = answered.constFind(packet);
    if (it != answered.constEnd() && nowUs - it.value() < std::clamp(windowUs, kMinAnswerWindowUs, kMaxAnswerWindowUs))
        return false;
    if (answered.size() >= pruneAnsweredAt) {
        // What was answered longer ago than any window goes.
        answered.removeIf([nowUs](const auto &e) { return nowUs - e.value() >= kMaxAnswerWindowUs; });
        if (answered.size() >= kMaxResends)
            return false;
        pruneAnsweredAt = std::max<qsizetype>(256, 2 * answered.size());
    }
    answered.insert(packet, nowUs);
    return true;
}

bool OnceQueue::add(const PacketRef &p)
{
    if (int(order.size()) >= limit || waiting.contains(p))
        return false;
    order.append(p);
    waiting.insert(p, 0);
    return true;
}

bool OnceQueue::take(PacketRef &out)
{
    if (order.isEmpty())
        return false;
    out = order.takeFirst();
    waiting.remove(out);
    return true;
}
