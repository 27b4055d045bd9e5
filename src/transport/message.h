// What the dispatcher hands every handler: one complete incoming message.
#pragma once

#include <QByteArray>

#include "transport/message_header.h"
#include "transport/wire.h"

struct Message {
    char srcIp[16];              // source address text; every answer goes here
    unsigned short srcPort;      // source port
    const NOLVUDPPACKET *packet; // the datagram that completed the message
    NOLVUDPBUFFER *record;       // its incoming buffer
    QByteArray packetKey;        // "$date$time$index" of that datagram
    QByteArray messageKey;       // "$date$time Total:n" of the message
    const char *block;           // the payloads in order, total * 500 bytes
    int length;                  // message length L
    HeaderFields fields;         // the header, fields 0..6

    // The bytes after the 80-byte header; never a negative length.
    const char *body() const { return block + wire::kMessageHeaderSize; }
    int bodyLength() const { return length > wire::kMessageHeaderSize ? length - wire::kMessageHeaderSize : 0; }
};
