// Lookups in the server, client and live-user tables, the removal of a
// server's live users, and the list-change notices.
#include <cstring>

#include "registry/peer_keys.h"
#include "text/fixed_text.h"
#include "transport/endpoint.h"
#include "unit/mudp_unit.h"

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

PEERINFO *MUDPUnit::findServer(const char *ip, unsigned short port, const char *name) const
{
    return findIn(serverList, PeerQuery{ip, port, name, nullptr, 0}, given(ip) ? QByteArray(ip) : QByteArray());
}

PEERINFO *MUDPUnit::findClient(const char *ip, unsigned short port, const char *name) const
{
    return findIn(clientList, PeerQuery{ip, port, name, nullptr, 0}, given(name) ? QByteArray(name) : QByteArray());
}

PEERINFO *MUDPUnit::findLiveUser(const char *ip, unsigned short port, const char *name, const char *serverIp,
                                 unsigned short serverPort) const
{
    const QByteArray key = given(ip) && port != 0 ? transport::endpointKey(ip, port) : QByteArray();
    return findIn(liveUserList, PeerQuery{ip, port, name, serverIp, serverPort}, key);
}

void MUDPUnit::notifyListChanged(int code)
{
    notifyHost(WM_UDP_LIST, static_cast<WPARAM>(code), 0);
}

void MUDPUnit::rebuildLiveUserByServer(char *IP, unsigned short port, bool deleted)
{
    EntryGuard guard(*this);
    if (!deleted)
        return;
    for (int i = 0; i < liveUserList.size();) {
        PEERINFO *p = liveUserList.at(i);
        if (IP && text::fieldEquals(p->serverIp, sizeof p->serverIp, IP) && p->serverPort == port) {
            liveUserList.takeAt(i);
            retire(p);
        } else {
            ++i;
        }
    }
    Q_EMIT userListChanged();
    notifyListChanged(LIST_LIVEUSER);
}
