// The packet slots of a message buffer, held in chunks that are allocated as
// packets are stored, and the destinations an outgoing buffer went to.
#pragma once

#include <QtGlobal>

#include "transport/wire.h"

namespace wire {
constexpr int kSlotsPerChunk = 32; // 17,536 bytes of packets per chunk
}

struct Destination {
    char ip[16];
    uint16_t port;
};

// A buffer of `total` packets with no chunk yet; null when total is outside
// 1 to 32,767 or memory is short.
NOLVUDPBUFFER *newBuffer(int total);
void freeBuffer(NOLVUDPBUFFER *buffer);

// Slot i (0-based): null when i is outside the buffer or its chunk has not
// been allocated; a slot whose `total` is 0 holds no packet yet.
NOLVUDPPACKET *packetSlot(const NOLVUDPBUFFER *buffer, int i);
// Whether slot i holds a packet.
bool hasPacket(const NOLVUDPBUFFER *buffer, int i);
// Slot i with its chunk allocated (zero-filled) if it was not; null when i is
// outside the buffer or memory is short.
NOLVUDPPACKET *claimPacketSlot(NOLVUDPBUFFER *buffer, int i);

// Bytes the buffer holds: the record, its chunk table and its chunks.
qint64 heldBytes(const NOLVUDPBUFFER *buffer);
// Bytes claimPacketSlot(buffer, i) would add (0 when the chunk is there).
qint64 claimCost(const NOLVUDPBUFFER *buffer, int i);
// What a new buffer of `total` packets holds once slot i is claimed.
qint64 newBufferCost(int total, int i);

// Remembers that the buffer was sent to ip:port; whether it was.
bool noteDestination(NOLVUDPBUFFER *buffer, const char *ip, uint16_t port);
bool wasSentTo(const NOLVUDPBUFFER *buffer, const char *ip, uint16_t port);
