// Everything the transport keeps about one peer endpoint (IPv4 address and
// port): the numbers this unit writes to it and the feedback that proves it
// receives them, what waits to be written to it and at what pace, and the
// feedback this unit owes it as the receiver of its numbered datagrams.
//
// Proof: the datagrams to an endpoint are numbered from a random point, and
// feedback counts only when the number it names is one this unit wrote to
// that endpoint lately. Only a receiver of those datagrams (or something on
// their way) knows such a number; a forger elsewhere guesses one in
// 2^32 / (numbers in the window). Unproven feedback changes nothing.
#pragma once

#include <QHash>
#include <list>
#include <memory>
#include <vector>

#include "transport/path_mark.h"
#include "transport/rate/pacer.h"
#include "transport/rate/rate_controller.h"
#include "transport/send_queue.h"

struct PeerPath {
    quint64 id = 0;
    quint32 address = 0; // host order
    quint16 port = 0;
    char ip[16] = {};    // dotted decimal
    quint64 birth = 0;   // the wait generation it was made in (unit/wait_generation.h)
    int64_t lastUsedUs = 0;
    int64_t messageUs = 0; // a message went to it or came from it, numbered: kept for a minute

    // Sending to it: the series of numbers, and its proof.
    uint32_t lastTxn = 0;       // the last number written (a random point before the first)
    uint64_t numbered = 0;      // numbers written in the series
    uint32_t seriesFirst = 0;   // the first number of the series
    bool seriesHeard = false;   // feedback has named a number of the series
    int64_t provenUs = 0;       // feedback that named one of our numbers lately
    uint32_t provenTxn = 0;     // the newest number such feedback named
    int64_t rttHintUs = 0;      // a round trip measured otherwise (a registration), for a new controller
    bool silent = false;        // stopped giving feedback: the protocol's own pace until it does again
    int64_t awaitingSinceUs = 0; // first paced datagram written since the last feedback

    SendQueue queue;
    std::unique_ptr<RateController> rate; // made when it first writes at the path's pace
    std::unique_ptr<Pacer> pacer;
    // The protocol's own pace: the current round and what it has written.
    int64_t roundStartUs = 0;
    int roundResends = 0;
    int roundRequests = 0;
    bool active = false;        // in the writer's list

    // Receiving from it: the feedback it gets as our sender.
    int64_t numberedSeenUs = 0; // a numbered datagram from it
    uint32_t received = 0;      // its numbered datagrams received in its current series
    uint32_t newestTxn = 0;
    int64_t newestAtUs = 0;
    bool seriesSettled = false; // its series has shown datagrams without the new-series flag
    int sinceFeedback = 0;      // numbered datagrams since the last feedback
    int64_t unreportedSinceUs = 0; // when the first of them arrived
    int64_t lastFeedbackUs = 0;
    int64_t senderRttMs = 0;    // its round-trip hint
    bool feedbackDue = false;   // to be sent after the datagrams being read
    bool owedForMessage = false; // some of them belong to a message of several datagrams
    int64_t unheardSinceUs = 0; // our first feedback since its datagrams last said it hears ours

    // Numbering: the next number for a datagram written to it, through the
    // rate controller when there is one. `ask` (optional) says whether the
    // controller wants feedback at once.
    uint32_t nextTxn(int64_t nowUs, bool queueEmptyAfter, bool *ask);
    // Whether feedback naming `echoed` proves itself: a number written to it
    // lately, not far behind what feedback named before.
    bool proves(uint32_t echoed) const;
    void noteProof(uint32_t echoed, int64_t nowUs);
    // Whether feedback has proven it within the last minute.
    bool proven(int64_t nowUs) const { return provenUs != 0 && nowUs - provenUs < kProofValidUs; }
    // Whether datagrams to it go at the pace of its rate controller.
    bool capable(int64_t nowUs) const { return proven(nowUs) && !silent; }
    // Its rate controller and pacer, made when first needed.
    void makeRate(int64_t nowUs);
    // When feedback stays away this long while datagrams are in flight, the
    // path gets the protocol's own pace again.
    int64_t silenceLimitUs() const;

    // A numbered datagram from it: counts it, in a new series when its
    // numbers say so; whether it began one.
    bool noteNumbered(const mark::Mark &mark, int64_t nowUs);
    // Whether it numbers its datagrams to us (we owe it feedback).
    bool sendsMarked(int64_t nowUs) const
    {
        return numberedSeenUs != 0 && nowUs - numberedSeenUs < kProofValidUs && received != 0;
    }
    // Whether its datagrams keep saying it hears none of the feedback this
    // unit has been giving it for a while.
    bool feedbackUnheard(int64_t nowUs) const;

    // Whether a stranger may not push it out of the table: a message lately,
    // or something in hand.
    bool kept(int64_t nowUs) const;

    static constexpr int64_t kProofValidUs = 60ll * 1000 * 1000;
};

// The paths this unit knows, at most kMaxPaths of them but for paths made
// for sending; the one used longest ago that is not kept makes room for a
// new one.
class PathTable {
public:
    static constexpr int kMaxPaths = 4096;

    PathTable() = default;
    PathTable(const PathTable &) = delete;
    PathTable &operator=(const PathTable &) = delete;

    PeerPath *find(quint64 id) const;
    // The path of address:port, made (in wait generation `birth`) if it is
    // new: for sending always, otherwise only while the table has room or a
    // path that is not kept to let go.
    PeerPath *obtain(quint32 address, quint16 port, int64_t nowUs, bool forSending, quint64 birth);
    int size() const { return int(paths.size()); }
    void clear();
    // Frees the paths let go of that were made in wait generation
    // `bornSince` or later (the unit calls it when no handler can still hold
    // one; 0: all of them).
    void releaseEvicted(quint64 bornSince = 0);

    template <typename F> void forEach(F f) const
    {
        for (const auto &entry : order)
            f(entry.get());
    }

private:
    using Order = std::list<std::unique_ptr<PeerPath>>; // most recently used first
    bool evictOne(int64_t nowUs);

    Order order;
    QHash<quint64, Order::iterator> paths;
    std::vector<std::unique_ptr<PeerPath>> evicted;
};
