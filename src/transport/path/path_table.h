// What the transport keeps per peer endpoint (IPv4 address and port): the
// sending side and the receiving side of the path to it, in one table of at
// most kMaxPaths entries but for paths made for sending; the one used
// longest ago that is not kept makes room for a new one.
#pragma once

#include <QHash>
#include <list>
#include <memory>

#include "transport/path/receiving_path.h"
#include "transport/path/sending_path.h"
#include "transport/path/uplink_share.h"

class Lifetime;

struct PeerPath {
    quint64 id = 0;
    quint32 address = 0; // host order
    quint16 port = 0;
    char ip[16] = {};    // dotted decimal
    quint64 birth = 0;   // the wait generation it was made in (core/wait_generation.h)
    int64_t lastUsedUs = 0;
    int64_t messageUs = 0; // a message went to it or came from it, numbered: kept for a minute

    SendingPath sending;     // this unit as the sender of datagrams to it
    ReceivingPath receiving; // this unit as the receiver of its numbered datagrams

    // Whether a stranger may not push it out of the table: a message lately,
    // or something in hand.
    bool kept(int64_t nowUs) const;
};

class PathTable {
public:
    static constexpr int kMaxPaths = 4096;

    explicit PathTable(Lifetime &life) : life(life) {}
    PathTable(const PathTable &) = delete;
    PathTable &operator=(const PathTable &) = delete;
    ~PathTable();

    PeerPath *find(quint64 id) const;
    PeerPath *find(quint32 address, quint16 port) const;
    // The path of address:port, made if it is new: for sending always,
    // otherwise only while the table has room or a path that is not kept to
    // let go.
    PeerPath *obtain(quint32 address, quint16 port, int64_t nowUs, bool forSending);
    // The path to write to ip:port (an address text); null for none.
    PeerPath *sendingPath(const char *ip, unsigned short port);
    int size() const { return int(paths.size()); }
    // Lets rate controllers of paths idle for a minute go.
    void forgetIdleRates(int64_t nowUs);

    template <typename F> void forEach(F f) const
    {
        for (const auto &entry : order)
            f(entry.get());
    }

private:
    using Order = std::list<std::unique_ptr<PeerPath>>; // most recently used first
    bool evictOne(int64_t nowUs);

    Lifetime &life;
    UplinkShare uplink; // what the controllers of its paths share of this unit's uplink; outlives them
    Order order;
    QHash<quint64, Order::iterator> paths;
};
