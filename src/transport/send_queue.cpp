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

bool SendQueue::addResend(const PacketRef &packet)
{
    if (int(resends.size()) >= kMaxResends || resendSet.contains(packet))
        return false;
    resends.push_back(packet);
    resendSet.insert(packet, 0);
    return true;
}

bool SendQueue::takeResend(PacketRef &out)
{
    if (resends.empty())
        return false;
    out = resends.front();
    resends.pop_front();
    resendSet.remove(out);
    return true;
}

bool SendQueue::addRequest(const PacketRef &packet)
{
    if (int(requests.size()) >= kMaxRequests || requestSet.contains(packet))
        return false;
    requests.push_back(packet);
    requestSet.insert(packet, 0);
    return true;
}

bool SendQueue::takeRequest(PacketRef &out)
{
    if (requests.empty())
        return false;
    out = requests.front();
    requests.pop_front();
    requestSet.remove(out);
    return true;
}

void SendQueue::dropResendsOf(int32_t date, int32_t time)
{
    if (resends.empty())
        return;
    std::deque<PacketRef> kept;
    for (const PacketRef &p : resends) {
        if (p.date == date && p.time == time)
            resendSet.remove(p);
        else
            kept.push_back(p);
    }
    resends.swap(kept);
}
