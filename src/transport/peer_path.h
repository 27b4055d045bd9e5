// Everything the transport keeps about one peer endpoint (IPv4 address and
// port): whether it takes part in the path protocol of our own units (marked
// datagrams seen from it, feedback while we send to it), what waits to be
// written to it and at what pace, and the feedback this unit owes it as the
// receiver of its datagrams.
#pragma once

#include <QHash>
#include <list>
#include <memory>
#include <vector>

#include "transport/pacer.h"
#include "transport/rate_controller.h"
#include "transport/send_queue.h"

struct PeerPath {
    quint64 id = 0;
    quint32 address = 0; // host order
    quint16 port = 0;
    char ip[16] = {};    // dotted decimal
    int64_t lastUsedUs = 0;

    // Taking part: a marked datagram seen from it lately, and feedback
    // coming while datagrams are in flight to it.
    int64_t markSeenUs = 0;
    bool silent = false;           // stopped giving feedback: the protocol's own pace until it does again
    int64_t awaitingSinceUs = 0;   // first paced datagram written since the last feedback
    int64_t lastHeardUs = 0;       // feedback, a receipt or a request from it

    // Sending to it.
    SendQueue queue;
    std::unique_ptr<RateController> rate; // made with its first numbered datagram
    std::unique_ptr<Pacer> pacer;
    uint32_t lastTxn = 0;          // the last transmission number used: a new controller goes on from it
    // The protocol's own pace: the current round and what it has written.
    int64_t roundStartUs = 0;
    int roundResends = 0;
    int roundRequests = 0;
    bool active = false;           // in the writer's list

    // Receiving from it: the feedback it gets as our sender.
    uint32_t received = 0;         // its paced datagrams received
    uint32_t newestTxn = 0;
    int64_t newestAtUs = 0;
    int sinceFeedback = 0;         // paced datagrams since the last feedback
    int64_t unreportedSinceUs = 0; // when the first of them arrived
    int64_t lastFeedbackUs = 0;
    int64_t senderRttMs = 0;       // its round-trip hint
    bool feedbackDue = false;      // to be sent after the datagrams being read
    int64_t unheardSinceUs = 0;    // our first feedback since its datagrams last said it hears ours
    int64_t helloSentUs = 0;       // last FEEDBACK telling it we take part (its datagrams had no numbers)

    // Whether its datagrams keep saying it hears none of the feedback this
    // unit has been giving it for a while.
    bool feedbackUnheard(int64_t nowUs) const;

    // Its rate controller and pacer, made when first needed.
    void makeRate(int64_t nowUs);
    // Whether datagrams to it go at the pace of its rate controller.
    bool capable(int64_t nowUs) const;
    // Whether it numbers its datagrams to us (we owe it feedback).
    bool sendsMarked(int64_t nowUs) const { return markSeenUs != 0 && nowUs - markSeenUs < kMarkValidUs && received != 0; }
    // When feedback stays away this long while datagrams are in flight, the
    // path gets the protocol's own pace again.
    int64_t silenceLimitUs() const;

    static constexpr int64_t kMarkValidUs = 60ll * 1000 * 1000;
};

// The paths this unit knows, at most kMaxPaths of them for receiving;
// the one used longest ago and idle makes room for a new one.
class PathTable {
public:
    static constexpr int kMaxPaths = 4096;
    // A path used this recently is never let go.
    static constexpr int64_t kKeepUsedUs = 2000000;

    PathTable() = default;
    PathTable(const PathTable &) = delete;
    PathTable &operator=(const PathTable &) = delete;

    PeerPath *find(quint64 id) const;
    // The path of address:port, made if it is new. A path for sending is
    // always made; one for receiving only while the table has room or holds
    // an idle path to let go.
    PeerPath *obtain(quint32 address, quint16 port, int64_t nowUs, bool forSending);
    int size() const { return int(paths.size()); }
    void clear();
    // Frees the paths let go since the last call (the unit calls it when no
    // handler can still hold one).
    void releaseEvicted() { evicted.clear(); }

    template <typename F> void forEach(F f) const
    {
        for (const auto &entry : order)
            f(entry.get());
    }

private:
    using Order = std::list<std::unique_ptr<PeerPath>>; // most recently used first
    Order order;
    QHash<quint64, Order::iterator> paths;
    std::vector<std::unique_ptr<PeerPath>> evicted;
};
