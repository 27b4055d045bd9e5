// The packets of a message buffer. An incoming buffer holds its slots in
// chunks that are allocated as packets are stored; an outgoing one holds the
// message's bytes and makes each packet as it is written. Both remember, as
// they need, who an outgoing buffer went to.
#pragma once

#include <QtGlobal>

#include "transport/identity.h"
#include "transport/wire.h"

namespace wire {
constexpr int kSlotsPerChunk = 32; // 17,536 bytes of packets per chunk
}

// An incoming buffer of `total` packets with no chunk yet; null when total is
// outside 1 to 32,767 or memory is short.
NOLVUDPBUFFER *newBuffer(int total);
void freeBuffer(NOLVUDPBUFFER *buffer);

// Frees the packets of a complete incoming buffer whose message was handled:
// it is kept only to recognise and acknowledge repeats, and every slot
// counts as holding its packet.
void releasePackets(NOLVUDPBUFFER *buffer);

// Slot i (0-based) of an incoming buffer: null when i is outside the buffer,
// its chunk has not been allocated or its packets were released; a slot whose `total` is 0 holds no
// packet yet.
NOLVUDPPACKET *packetSlot(const NOLVUDPBUFFER *buffer, int i);
// Whether slot i holds a packet.
bool hasPacket(const NOLVUDPBUFFER *buffer, int i);
// Slot i with its chunk allocated (zero-filled) if it was not; null when i is
// outside the buffer or memory is short.
NOLVUDPPACKET *claimPacketSlot(NOLVUDPBUFFER *buffer, int i);

// An outgoing buffer holding a copy of the 80-byte header `head` and `length`
// host bytes, stamped with `id` and the sender's address text; null when the
// message needs more than 32,767 packets or memory is short.
NOLVUDPBUFFER *newOutgoingBuffer(const char *head, const char *bytes, int length, MessageIdentity id,
                                 const char *localAddr);
// Packet i (0-based) of an outgoing buffer as it travels, its reserved bytes
// zero; false when i is outside the buffer.
bool makePacket(NOLVUDPBUFFER *buffer, int i, NOLVUDPPACKET &out);

// Bytes the buffer holds: the record and what it owns.
qint64 heldBytes(const NOLVUDPBUFFER *buffer);
// Bytes claimPacketSlot(buffer, i) would add (0 when the chunk is there).
qint64 claimCost(const NOLVUDPBUFFER *buffer, int i);
// What a new buffer of `total` packets holds once slot i is claimed.
qint64 newBufferCost(int total, int i);

// Remembers that an outgoing buffer was sent to ip:port; whether it was.
bool noteDestination(NOLVUDPBUFFER *buffer, const char *ip, uint16_t port);
bool wasSentTo(const NOLVUDPBUFFER *buffer, quint32 address, uint16_t port);

// freeBuffer for the graveyard.
void freeBufferItem(void *buffer);
