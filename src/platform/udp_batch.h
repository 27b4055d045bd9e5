// Reading and writing many datagrams per system call on a socket's
// descriptor (recvmmsg and sendmmsg on Linux). Elsewhere batching is not
// available and the caller uses its socket object datagram by datagram.
#pragma once

#include <QtGlobal>
#include <cstdint>

namespace platform {

bool udpBatchingAvailable();

struct OutDatagram {
    const char *data;
    int size;
    quint32 address; // IPv4, host order
    quint16 port;
};

// Writes up to n datagrams; returns how many are done with: taken by the
// system, or refused by it (an unreachable address), which is a loss like
// any other. The rest did not fit its buffer and may be written later.
int writeDatagrams(qintptr descriptor, const OutDatagram *datagrams, int n);

struct InDatagram {
    char *data;
    int capacity;
    int size;        // bytes of the datagram; more than capacity when it was cut
    quint32 address; // IPv4, host order; 0 for another family
    quint16 port;
};

// Reads up to n datagrams that are waiting; returns how many (0 when none).
int readDatagrams(qintptr descriptor, InDatagram *datagrams, int n);

// Asks the system for socket buffers of this size (it may cap them).
void setSocketBuffers(qintptr descriptor, int bytes);

} // namespace platform
