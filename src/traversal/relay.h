// Routing data to live users (direct, after hole punching, or relayed
// through the server with TRANS) and the relaying server's TRANS handler.
#pragma once

class HolePunch;
class HostBridge;
class Lifetime;
class PeerSending;
class PeerTables;
class Reassembly;
struct LocalIdentity;
struct Message;

class Relay {
public:
    Relay(LocalIdentity &self, PeerTables &tables, PeerSending &sending, HolePunch &holes, Reassembly &reassembly,
          HostBridge &host, Lifetime &life)
        : self(self), tables(tables), sending(sending), holes(holes), reassembly(reassembly), host(host), life(life)
    {
    }

    void sendToLiveUser(const char *data, int size, const char *ip, unsigned short port, const char *name,
                        const char *serverIp, unsigned short serverPort);
    void handleTrans(Message &m);

private:
    LocalIdentity &self;
    PeerTables &tables;
    PeerSending &sending;
    HolePunch &holes;
    Reassembly &reassembly;
    HostBridge &host;
    Lifetime &life;
};
