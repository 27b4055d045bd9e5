#include "secure/drop_log.h"

namespace secure {

const char *dropText(Drop reason)
{
    switch (reason) {
    case Drop::Unkeyed: return "datagram without the network key";
    case Drop::Malformed: return "malformed datagram";
    case Drop::BadMac: return "handshake message not from the network";
    case Drop::NotAuthentic: return "datagram that failed authentication";
    case Drop::UnknownIndex: return "datagram for no session";
    case Drop::WrongSource: return "session datagram from another endpoint";
    case Drop::Replayed: return "replayed datagram";
    case Drop::SessionTooOld: return "datagram under an expired session";
    case Drop::ReplayedInitiation: return "replayed handshake initiation";
    case Drop::RateLimited: return "handshake initiation over the rate limit";
    case Drop::QueueFull: return "outgoing datagram, no room to wait for a handshake";
    case Drop::HandshakeFailed: return "outgoing datagram, handshake unanswered";
    case Drop::Count: break;
    }
    return "datagram";
}

void DropLog::drop(Drop reason, Endpoint source, int64_t nowUs, uint64_t datagrams)
{
    counts[size_t(reason)] += datagrams;
    auto it = sources.find(source.id());
    if (it == sources.end()) {
        if (sources.size() >= limits.logSources)
            expire(nowUs);
        if (sources.size() >= limits.logSources)
            return;
        sources.emplace(source.id(), Entry{nowUs, 0, reason});
        line(source.id(), reason, datagrams, 0);
        return;
    }
    Entry &e = it->second;
    e.since += datagrams;
    e.lastReason = reason;
    if (nowUs - e.lastLineUs >= limits.logEveryUs) {
        line(source.id(), reason, 0, e.since);
        e.lastLineUs = nowUs;
        e.since = 0;
    }
}

// Sources quiet for a minute leave the table, with a line for what they
// sent since their last one.
void DropLog::expire(int64_t nowUs)
{
    for (auto it = sources.begin(); it != sources.end();) {
        if (nowUs - it->second.lastLineUs < limits.logEveryUs) {
            ++it;
            continue;
        }
        if (it->second.since)
            line(it->first, it->second.lastReason, 0, it->second.since);
        it = sources.erase(it);
    }
}

void DropLog::line(uint64_t source, Drop reason, uint64_t datagrams, uint64_t since)
{
    const Endpoint endpoint{uint32_t(source >> 16), uint16_t(source)};
    std::string text = "Secure channel drop, " + toText(endpoint) + ": " + dropText(reason);
    if (datagrams > 1)
        text += ", " + std::to_string(datagrams) + " datagrams";
    if (since)
        text += ", " + std::to_string(since) + " more in the last minute";
    sink.secureLog(text);
}

size_t DropLog::bytes() const { return sources.size() * (sizeof(Entry) + 32); }

} // namespace secure
