// Where the transport writes its datagrams: the socket, or a fake in tests.
// Datagrams written at a path's pace are staged and go out in batches;
// single datagrams (control words) go at once.
#pragma once

#include <QtGlobal>

#include "transport/wire.h"

class DatagramOut {
public:
    virtual ~DatagramOut() = default;
    // The slot for the next datagram to stage; stage() takes it.
    virtual NOLVUDPPACKET &stageSlot() = 0;
    virtual void stage(quint32 address, quint16 port) = 0;
    // Writes what is staged; false when the socket's buffer is full (what it
    // did not take goes first next time).
    virtual bool flushStaged() = 0;
    // Writes one datagram now, to `address` or, when it is 0, to the address
    // text `ip`.
    virtual void writeNow(const NOLVUDPPACKET &packet, quint32 address, const char *ip, quint16 port) = 0;
};
