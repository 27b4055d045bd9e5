// Where the transport writes its datagrams: the socket, or a fake in tests.
// Datagrams written at a path's pace are staged and go out in batches;
// single datagrams (control words) go at once. The transport hands over
// plain datagrams of kPlainBytes; what goes on the wire may be longer (a
// keyed datagram, up to kMaxWireBytes).
#pragma once

#include <QtGlobal>
#include <cstddef>

namespace io {
constexpr size_t kPlainBytes = 548;     // every datagram the transport writes and reads
constexpr size_t kMaxWireBytes = 1200;  // the most a datagram of ours on the wire may be
} // namespace io

class DatagramOut {
public:
    virtual ~DatagramOut() = default;
    // The slot for the next datagram to stage: room for kPlainBytes,
    // aligned for any datagram layout; stage() takes it.
    virtual void *stageSlot() = 0;
    virtual void stage(quint32 address, quint16 port) = 0;
    // Writes what is staged; false when the socket's buffer is full (what it
    // did not take goes first next time).
    virtual bool flushStaged() = 0;
    // Writes one datagram of kPlainBytes now, to `address` or, when it is 0,
    // to the address text `ip`.
    virtual void writeNow(const void *datagram, quint32 address, const char *ip, quint16 port) = 0;
};
