// The server, client and live-user tables (Part of the registry every other
// registry part reads): lookups, and the removal of a server's live users.
#pragma once

#include <QByteArray>

#include "core/record_table.h"
#include "mudp.h"

class HostBridge;
class Lifetime;

using PeerTable = RecordTable<PEERINFO, QByteArray>;

class PeerTables {
public:
    PeerTables(HostBridge &host, Lifetime &life);
    ~PeerTables();
    PeerTables(const PeerTables &) = delete;
    PeerTables &operator=(const PeerTables &) = delete;

    PeerTable &servers() { return serverList; }
    PeerTable &clients() { return clientList; }
    PeerTable &liveUsers() { return liveUserList; }
    const PeerTable &servers() const { return serverList; }
    const PeerTable &clients() const { return clientList; }
    const PeerTable &liveUsers() const { return liveUserList; }

    // The first entry matching the query, in table order; empty texts and
    // port 0 match anything.
    PEERINFO *findServer(const char *ip, unsigned short port, const char *name) const;
    PEERINFO *findClient(const char *ip, unsigned short port, const char *name) const;
    PEERINFO *findLiveUser(const char *ip, unsigned short port, const char *name, const char *serverIp,
                           unsigned short serverPort) const;

    // Takes the entry at position i out of the table and lets it go.
    void remove(PeerTable &table, int i);
    // Removes the live users the server at ip:port reported, and tells the
    // host (userListChanged, LIST_LIVEUSER).
    void dropLiveUsersOf(const char *ip, unsigned short port);

private:
    HostBridge &host;
    Lifetime &life;
    PeerTable serverList;   // servers this unit is registered with
    PeerTable clientList;   // clients registered with this unit
    PeerTable liveUserList; // users the servers reported
};
