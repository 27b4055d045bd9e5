// Who this unit is: its name and address as the host set them, the port it
// declares, and its endpoint as a server sees it. Read by every part that
// builds a message; written by the façade and by registration. Also hands
// out the identities of the messages the unit sends, never one at or below
// the last.
#pragma once

#include <QByteArray>
#include <cstddef>

#include "transport/identity.h"
#include "transport/wire.h"

struct LocalIdentity {
    char name[40] = {};        // GB18030, field 1 of every message the unit builds
    char addr[16] = {};        // sent as the sender's address in packet headers
    unsigned short boundPort = 45454;
    char addrForPeer[16] = {}; // own address as a server sees it
    unsigned short portForPeer = 0;
    MessageIdentity lastIdentity{}; // of the last message sent

    QByteArray nameBytes() const;
    // The identity of the next message.
    MessageIdentity nextIdentity();
    // A single-datagram message of `size` bytes of `data`, with the next
    // identity; its reserved bytes zero.
    void fillProtocolPacket(NOLVUDPPACKET &packet, const char *data, size_t size);
};
