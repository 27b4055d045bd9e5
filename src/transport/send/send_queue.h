// What waits to be written to one destination, in the order it goes out:
// packets asked for again (resends), lost-packet requests to it as the sender
// of a message (each queued once, so a round that asks again while the last
// one still waits adds nothing), then the first writes of the messages sent
// to it, taken in turns so that a small message does not wait behind a large
// one. The writer (transport/send/path_writer.cpp) takes
// from it at the destination's pace.
#pragma once

#include <QHash>
#include <QList>
#include <QtGlobal>

#include "transport/wire.h"

// A packet of an outgoing buffer, by the buffer's identity (0-based index).
struct PacketRef {
    int32_t date = 0;
    int32_t time = 0;
    int32_t index = 0;
    bool operator==(const PacketRef &o) const { return date == o.date && time == o.time && index == o.index; }
};
size_t qHash(const PacketRef &p, size_t seed = 0) noexcept;

// A FIFO in which each packet waits at most once.
class OnceQueue {
public:
    explicit OnceQueue(int limit) : limit(limit) {}
    bool isEmpty() const { return order.empty(); }
    // False when it already waits or the queue is full.
    bool add(const PacketRef &p);
    bool take(PacketRef &out);

private:
    int limit;
    QList<PacketRef> order;
    QHash<PacketRef, int> waiting; // what `order` holds
};

class SendQueue {
public:
    // Bounds: what one destination may have waiting.
    static constexpr qint64 kMaxQueuedBytes = 64ll * 1024 * 1024; // of first writes
    static constexpr int kMaxResends = 32768;
    static constexpr int kMaxRequests = 4096;

    bool isEmpty() const { return jobs.empty() && resends.isEmpty() && requests.isEmpty(); }
    bool hasJobs() const { return !jobs.empty(); }
    bool hasResends() const { return !resends.isEmpty(); }
    bool hasRequests() const { return !requests.isEmpty(); }
    qint64 queuedBytes() const { return bytes; }
    int jobCount() const { return int(jobs.size()); }

    // First writes: a send record whose packets are still to be written.
    bool fits(qint64 messageBytes) const { return bytes + messageBytes <= kMaxQueuedBytes; }
    void addJob(SENDRECORD *record, qint64 messageBytes);
    // Takes the record out (done, or its send ended); false when not queued.
    bool removeJob(SENDRECORD *record, qint64 messageBytes);
    // The job whose turn it is; the turn moves on with rotate().
    SENDRECORD *currentJob() const { return jobs.empty() ? nullptr : jobs.front(); }
    void rotate();
    const QList<SENDRECORD *> &allJobs() const { return jobs; }

    // Resends of our packets (0-based index), each at most once while it
    // waits; false when it already waits or the queue is full.
    bool addResend(const PacketRef &packet) { return resends.add(packet); }
    bool takeResend(PacketRef &out) { return resends.take(out); }

    // Requests for packet `index` (1-based) of the destination's message,
    // each at most once while it waits.
    bool addRequest(const PacketRef &packet) { return requests.add(packet); }
    bool takeRequest(PacketRef &out) { return requests.take(out); }

    // Answers to lost-packet requests and reports: false when the packet was
    // answered less than `windowUs` ago (clamped to 1 ms .. 1 s), else it
    // counts as answered now.
    static constexpr int64_t kDefaultAnswerWindowUs = 10000;
    bool noteAnswer(const PacketRef &packet, int64_t nowUs, int64_t windowUs);

private:
    QList<SENDRECORD *> jobs;
    OnceQueue resends{kMaxResends};
    OnceQueue requests{kMaxRequests};
    qint64 bytes = 0;
    QHash<PacketRef, int64_t> answered; // when each packet was last answered
    qsizetype pruneAnsweredAt = 256;
};
