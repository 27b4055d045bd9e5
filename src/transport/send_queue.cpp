#include "transport/send_queue.h"

#include <algorithm>

size_t qHash(const PacketRef &p, size_t seed) noexcept { return qHashMulti(seed, p.date, p.time, p.index); }

void SendQueue::addJob(SENDRECORD *record, qint64 messageBytes)
{
    jobs.push_back(record);
    bytes += messageBytes;
}

bool SendQueue::removeJob(SENDRECORD *record, qint64 messageBytes)
{
    const auto it = std::find(jobs.begin(), jobs.end(), record);
    if (it == jobs.end())
        return false;
    jobs.erase(it);
    bytes = jobs.empty() ? 0 : std::max<qint64>(bytes - messageBytes, 0);
    return true;
}

void SendQueue::rotate()
{
    if (jobs.size() > 1) {
        jobs.push_back(jobs.front());
        jobs.pop_front();
    }
}

bool OnceQueue::add(const PacketRef &p)
{
    if (int(order.size()) >= limit || waiting.contains(p))
        return false;
    order.push_back(p);
    waiting.insert(p, 0);
    return true;
}

bool OnceQueue::take(PacketRef &out)
{
    if (order.empty())
        return false;
    out = order.front();
    order.pop_front();
    waiting.remove(out);
    return true;
}
