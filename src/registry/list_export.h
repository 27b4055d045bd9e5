// Flat copies of a peer table (listScratch): the array the list getters hand
// the host, which the user-list push also uses. Each copy frees the one
// before, unless the host may still read it inside a window message: then
// it goes when the outermost one returns.
#pragma once

#include <QList>

#include "registry/peer_tables.h"

class HostBridge;

class ListExport {
public:
    explicit ListExport(HostBridge &host);
    ~ListExport();
    ListExport(const ListExport &) = delete;
    ListExport &operator=(const ListExport &) = delete;

    // A copy of the table, owned here; null (and *count 0) when it is empty.
    PEERINFO *copy(const PeerTable &table, int *count);
    PEERINFO *scratch() const { return listScratch; }

private:
    void release();
    void freeRetired();

    HostBridge &host;
    PEERINFO *listScratch = nullptr;  // the array of the last copy
    QList<PEERINFO *> retiredLists;   // earlier arrays, kept while a host message runs
};
