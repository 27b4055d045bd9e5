// Registration: regToServer and unRegFromServer on the client side, and the
// REG, UNREG, REGACC, UNREGACC, REGDUP and UNKOWN handlers.
#pragma once

#include "mudp.h"
#include "registry/pending_registrations.h"

class ControlSender;
class Heartbeat;
class HostBridge;
class Lifetime;
class ListDiffMerge;
class ListDiffPush;
class ListMerge;
class PathTable;
class PeerTables;
class SendRecords;
class Writer;
struct LocalIdentity;
struct Message;

class Registration {
public:
    struct Parts {
        LocalIdentity &self;
        PeerTables &tables;
        ControlSender &controls;
        Heartbeat &heartbeat;
        ListMerge &lists;
        ListDiffMerge &diffLists;
        ListDiffPush &diffPush;
        SendRecords &sends;
        Writer &writer;
        PathTable &paths;
        HostBridge &host;
        Lifetime &life;
    };
    explicit Registration(Parts parts) : p(parts) {}

    // Both block, processing events.
    void regToServer(const char *serverIp, unsigned short serverPort);
    void unRegFromServer(const char *serverIp, unsigned short serverPort);
    // The REGs sent and awaiting REGACC.
    PendingRegistrations &pending() { return pendingRegistrations; }

    void handleReg(Message &m);
    void handleUnreg(Message &m);
    void handleRegAcc(Message &m);
    void handleUnregAcc(Message &m);
    void handleRegDup(Message &m);
    void handleUnknown(Message &m);

private:
    PEERINFO *newPeerRecord(const Message &m) const;

    Parts p;
    PendingRegistrations pendingRegistrations;
};
