// Counts every datagram the channel refuses, by reason, and writes at most
// one log line per source a minute: one for the first drop, and at the end of
// the minute one that counts the drops since, if there were any. The table of
// sources is bounded; a source that finds it full is counted but not logged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "secure/limits.h"
#include "secure/neighbours.h"

namespace secure {

enum class Drop {
    Unkeyed,            // a plain datagram (548 bytes) while a key is set
    Malformed,          // no keyed datagram of that size and type
    BadMac,             // a handshake message without a valid mac1
    NotAuthentic,       // a tag that does not verify
    UnknownIndex,       // no session or handshake of ours has that index
    WrongSource,        // a session's datagram from another address or port
    Replayed,           // a counter already seen or behind the window
    SessionTooOld,      // under a session past its time or count
    ReplayedInitiation, // an initiation already seen
    RateLimited,        // an initiation beyond the flood limits
    QueueFull,          // an outgoing datagram with no room to wait for a handshake
    HandshakeFailed,    // outgoing datagrams dropped when a handshake gave up
    Count
};

const char *dropText(Drop reason);

class DropLog {
public:
    DropLog(LogSink &sink, const Limits &limits) : sink(sink), limits(limits) {}

    void drop(Drop reason, Endpoint source, int64_t nowUs, uint64_t datagrams = 1);
    uint64_t count(Drop reason) const { return counts[size_t(reason)]; }
    void expire(int64_t nowUs);
    void clear() { sources.clear(); }
    size_t bytes() const;

private:
    struct Entry {
        int64_t lastLineUs = 0;
        uint64_t since = 0;
        Drop lastReason = Drop::Count;
    };
    void line(uint64_t source, Drop reason, uint64_t datagrams, uint64_t since);
    LogSink &sink;
    const Limits &limits;
    std::array<uint64_t, size_t(Drop::Count)> counts{};
    std::unordered_map<uint64_t, Entry> sources;
};

} // namespace secure
