// Hole punching: the initiator's cycles of TRANSHOLE to the server and HOLEREG
// to the peer, and the handlers on the server, target and initiator sides.
#pragma once

#include <QByteArray>

class ControlSender;
class HostBridge;
class Lifetime;
class PeerTables;
struct LocalIdentity;
struct Message;

class HolePunch {
public:
    HolePunch(LocalIdentity &self, PeerTables &tables, ControlSender &controls, HostBridge &host, Lifetime &life)
        : self(self), tables(tables), controls(controls), host(host), life(life)
    {
    }

    // Opens a direct path to the live user; blocks, processing events.
    bool toLiveUser(const char *ip, unsigned short port, const char *name, const char *serverIp,
                    unsigned short serverPort);

    void handleTransHole(Message &m);
    void handleHoleReq(Message &m);
    void handleHoleReg(Message &m);
    void handleHoleAcc(Message &m);
    void handleHoleTest(Message &m);

private:
    // One attempt's peer and server, and the texts its cycles send.
    struct Target {
        const char *peerIp;
        unsigned short port;
        const char *viaIp;
        unsigned short serverPort;
        QByteArray ownName;
        QByteArray tail; // "$0$0$0$" and this unit's endpoint as a server sees it
    };
    void sendCycle(const Target &t);

    LocalIdentity &self;
    PeerTables &tables;
    ControlSender &controls;
    HostBridge &host;
    Lifetime &life;
};
