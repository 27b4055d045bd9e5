#include "registry/peer_tables.h"

#include "core/host_bridge.h"
#include "core/lifetime.h"
#include "registry/peer_keys.h"
#include "text/fixed_text.h"
#include "transport/endpoint.h"

namespace {

bool given(const char *s) { return s && *s; }

// First entry matching the query, in table order. When the query gives the
// field the table is indexed by (indexKey not empty), only that bucket is
// searched.
PEERINFO *findIn(const PeerTable &table, const PeerQuery &q, const QByteArray &indexKey)
{
    if (!indexKey.isEmpty()) {
        const QList<PEERINFO *> *bucket = table.bucket(indexKey);
        if (!bucket)
            return nullptr;
        for (PEERINFO *p : *bucket)
            if (q.matches(p))
                return p;
        return nullptr;
    }
    for (PEERINFO *p : table.all())
        if (q.matches(p))
            return p;
    return nullptr;
}

} // namespace

PeerTables::PeerTables(HostBridge &host, Lifetime &life)
    : host(host), life(life), serverList(peerAddressKey), clientList(peerNameKey), liveUserList(peerEndpointKey)
{
}

PeerTables::~PeerTables()
{
    for (PeerTable *table : {&serverList, &clientList, &liveUserList})
        for (PEERINFO *p : table->takeAll())
            delete p;
}

PEERINFO *PeerTables::findServer(const char *ip, unsigned short port, const char *name) const
{
    return findIn(serverList, PeerQuery{ip, port, name, nullptr, 0}, given(ip) ? QByteArray(ip) : QByteArray());
}

PEERINFO *PeerTables::findClient(const char *ip, unsigned short port, const char *name) const
{
    return findIn(clientList, PeerQuery{ip, port, name, nullptr, 0}, given(name) ? QByteArray(name) : QByteArray());
}

PEERINFO *PeerTables::findLiveUser(const char *ip, unsigned short port, const char *name, const char *serverIp,
                                   unsigned short serverPort) const
{
    const QByteArray key = given(ip) && port != 0 ? transport::endpointKey(ip, port) : QByteArray();
    return findIn(liveUserList, PeerQuery{ip, port, name, serverIp, serverPort}, key);
}

void PeerTables::remove(PeerTable &table, int i)
{
    // Peer records have no wait generation: they wait for the outermost return.
    life.retire(table.takeAt(i), &deleteItem<PEERINFO>, 0);
}

void PeerTables::dropLiveUsersOf(const char *ip, unsigned short port)
{
    for (int i = 0; i < liveUserList.size();) {
        const PEERINFO *p = liveUserList.at(i);
        if (ip && text::fieldEquals(p->serverIp, sizeof p->serverIp, ip) && p->serverPort == port)
            remove(liveUserList, i);
        else
            ++i;
    }
    host.liveUsersChanged();
}
