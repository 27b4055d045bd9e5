// Index keys of the peer tables and the matching rule of their lookups.
#pragma once

#include <QByteArray>

#include "mudp.h"

QByteArray peerAddressKey(const PEERINFO *p);  // server list: by address
QByteArray peerNameKey(const PEERINFO *p);     // client list: by name
QByteArray peerEndpointKey(const PEERINFO *p); // live users: by address and port

// A lookup key: empty text and port 0 match anything.
struct PeerQuery {
    const char *ip = nullptr;
    unsigned short port = 0;
    const char *name = nullptr;
    const char *serverIp = nullptr;
    unsigned short serverPort = 0;

    bool matches(const PEERINFO *p) const;
};
