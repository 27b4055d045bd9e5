// User lists as a client: each server's list replaces what that server
// reported before in the live-user table. Only the servers this unit is
// registered with may name live users, and a server's lists are kept in
// order: an older one is neither asked for once a newer one is known, nor
// merged after it.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>

#include "transport/record_keys.h"

class HostBridge;
class IncomingRecords;
class PeerTables;
class Reassembly;
struct LocalIdentity;
struct Message;

class ListMerge {
public:
    ListMerge(LocalIdentity &self, PeerTables &tables, IncomingRecords &incoming, Reassembly &reassembly,
              HostBridge &host)
        : self(self), tables(tables), incoming(incoming), reassembly(reassembly), host(host)
    {
    }

    // The first packet of an incoming message of several was filed: marks
    // user lists older than another from the same server.
    void noteFirstPacket(NOLVUDPBUFFER *record);
    // A new registration with the server at ip:port starts its order afresh.
    void forgetOrder(const char *ip, unsigned short port);
    void handlePeerList(Message &m);
    // Replaces the live users the server reported with `count` records.
    void merge(const char *records, int count, const char *serverIp, unsigned short serverPort);

private:
    struct ListsFrom {              // the order of one server's user lists, by "ip:port"
        bool merged = false;
        qint64 newestMerged = 0;    // identity of the newest list merged, in ms
        QList<MessageKey> incomplete; // its lists still arriving
    };

    LocalIdentity &self;
    PeerTables &tables;
    IncomingRecords &incoming;
    Reassembly &reassembly;
    HostBridge &host;
    QHash<QByteArray, ListsFrom> listsFrom;
};
