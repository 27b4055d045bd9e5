// What the dispatcher hands every handler: one complete incoming message.
#pragma once

#include <QByteArray>
#include <QString>

#include "core/labels.h"
#include "transport/identity.h"
#include "transport/message_header.h"
#include "transport/path_mark.h"
#include "transport/wire.h"

struct PeerPath;

struct Message {
    char srcIp[16] = {};         // source address text; every answer goes here
    unsigned short srcPort = 0;  // source port
    quint32 srcAddress = 0;      // the same address as a number (0 when not IPv4)
    mark::Mark mark;             // what the datagram's reserved bytes say
    bool markProven = false;     // a feedback mark that named a number this unit wrote there
    PeerPath *sender = nullptr;  // a numbered datagram: its sender's path, while the datagram is filed
    const NOLVUDPPACKET *packet = nullptr; // the datagram that completed the message
    NOLVUDPBUFFER *record = nullptr;       // its incoming buffer
    QByteArray messageKey;       // "$date$time Total:n" of the message
    const char *block = nullptr; // the payloads in order, total * 500 bytes
    int length = 0;              // message length L
    HeaderFields fields;         // the header, fields 0..6

    // "$date$time$index" of the datagram that completed it.
    QByteArray packetKey() const { return ::packetKey(packet->date, packet->time, packet->index); }
    // The bytes after the 80-byte header; never a negative length.
    const char *body() const { return block + wire::kMessageHeaderSize; }
    int bodyLength() const { return length > wire::kMessageHeaderSize ? length - wire::kMessageHeaderSize : 0; }
};

// "ip:port" of the datagram, and " From:" with it.
inline QString sourceLabel(const Message &m) { return endpointLabel(m.srcIp, m.srcPort); }
inline QString fromSource(const Message &m) { return tr(" From:") + sourceLabel(m); }
