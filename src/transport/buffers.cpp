#include "transport/buffers.h"

#include <QSet>
#include <cstdlib>
#include <cstring>

#include "transport/checksum.h"
#include "transport/endpoint.h"

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {

// The copy of a message to send. A large one goes into memory the system may
// back with huge pages: a fresh process otherwise takes a page fault for
// every 4 KiB it copies (3,840 for 15 MiB), most of what a send call costs.
char *newMessageCopy(size_t bytes)
{
#ifdef __linux__
    constexpr size_t kHugePage = size_t(2) << 20;
    if (bytes >= kHugePage) {
        const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        if (void *p = std::aligned_alloc(kHugePage, rounded)) {
            madvise(p, rounded, MADV_HUGEPAGE); // a hint: without it, plain pages
            return static_cast<char *>(p);
        }
    }
#endif
    return static_cast<char *>(std::malloc(bytes));
}

int chunkCount(int total) { return (total + wire::kSlotsPerChunk - 1) / wire::kSlotsPerChunk; }

// Slots in chunk c: full chunks, then what is left for the last one, so a
// one-packet message holds one slot.
int slotsInChunk(int total, int c)
{
    const int left = total - c * wire::kSlotsPerChunk;
    return left < wire::kSlotsPerChunk ? left : wire::kSlotsPerChunk;
}

qint64 chunkBytes(int total, int c) { return qint64(slotsInChunk(total, c)) * qint64(sizeof(NOLVUDPPACKET)); }

qint64 tableBytes(int total) { return qint64(chunkCount(total)) * qint64(sizeof(NOLVUDPPACKET *)); }

bool inside(const NOLVUDPBUFFER *buffer, int i) { return buffer && i >= 0 && i < buffer->total; }

} // namespace

NOLVUDPBUFFER *newBuffer(int total)
{
    if (total < 1 || total > wire::kMaxPackets)
        return nullptr;
    auto *buffer = static_cast<NOLVUDPBUFFER *>(std::calloc(1, sizeof(NOLVUDPBUFFER)));
    if (!buffer)
        return nullptr;
    buffer->chunks = static_cast<NOLVUDPPACKET **>(std::calloc(size_t(chunkCount(total)), sizeof(NOLVUDPPACKET *)));
    if (!buffer->chunks) {
        std::free(buffer);
        return nullptr;
    }
    buffer->total = total;
    return buffer;
}

void freeBuffer(NOLVUDPBUFFER *buffer)
{
    if (!buffer)
        return;
    if (buffer->chunks)
        for (int c = 0; c < chunkCount(buffer->total); ++c)
            std::free(buffer->chunks[c]);
    std::free(buffer->chunks);
    std::free(buffer->message);
    std::free(buffer->checksums);
    std::free(buffer->checksumMade);
    delete buffer->sentTo;
    std::free(buffer);
}

void releasePackets(NOLVUDPBUFFER *buffer)
{
    if (!buffer || !buffer->chunks)
        return;
    for (int c = 0; c < chunkCount(buffer->total); ++c)
        std::free(buffer->chunks[c]);
    std::free(buffer->chunks);
    buffer->chunks = nullptr;
    buffer->chunksHeld = 0;
    buffer->packetsReleased = true;
}

NOLVUDPPACKET *packetSlot(const NOLVUDPBUFFER *buffer, int i)
{
    if (!inside(buffer, i) || !buffer->chunks)
        return nullptr;
    NOLVUDPPACKET *chunk = buffer->chunks[i / wire::kSlotsPerChunk];
    return chunk ? chunk + i % wire::kSlotsPerChunk : nullptr;
}

bool hasPacket(const NOLVUDPBUFFER *buffer, int i)
{
    if (inside(buffer, i) && buffer->packetsReleased)
        return true;
    const NOLVUDPPACKET *slot = packetSlot(buffer, i);
    return slot && slot->total != 0;
}

NOLVUDPPACKET *claimPacketSlot(NOLVUDPBUFFER *buffer, int i)
{
    if (!inside(buffer, i) || !buffer->chunks)
        return nullptr;
    const int c = i / wire::kSlotsPerChunk;
    if (!buffer->chunks[c]) {
        buffer->chunks[c] = static_cast<NOLVUDPPACKET *>(
            std::calloc(size_t(slotsInChunk(buffer->total, c)), sizeof(NOLVUDPPACKET)));
        if (!buffer->chunks[c])
            return nullptr;
        ++buffer->chunksHeld;
    }
    return buffer->chunks[c] + i % wire::kSlotsPerChunk;
}

NOLVUDPBUFFER *newOutgoingBuffer(const char *head, const char *bytes, int length, MessageIdentity id,
                                 const char *localAddr)
{
    if (length < 0)
        return nullptr;
    const qint64 messageLength = qint64(length) + wire::kMessageHeaderSize;
    const qint64 n = (messageLength + wire::kPayloadSize - 1) / wire::kPayloadSize;
    if (n > wire::kMaxPackets)
        return nullptr;
    auto *buffer = static_cast<NOLVUDPBUFFER *>(std::calloc(1, sizeof(NOLVUDPBUFFER)));
    if (!buffer)
        return nullptr;
    buffer->message = newMessageCopy(size_t(messageLength));
    buffer->checksums = static_cast<uint16_t *>(std::malloc(size_t(n) * sizeof(uint16_t)));
    buffer->checksumMade = static_cast<uint8_t *>(std::calloc(size_t(n), 1));
    if (!buffer->message || !buffer->checksums || !buffer->checksumMade) {
        freeBuffer(buffer);
        return nullptr;
    }
    std::memcpy(buffer->message, head, wire::kMessageHeaderSize);
    if (length > 0)
        std::memcpy(buffer->message + wire::kMessageHeaderSize, bytes, size_t(length));
    buffer->messageLength = int32_t(messageLength);
    buffer->count = buffer->total = int32_t(n);
    buffer->date = id.date;
    buffer->time = id.time;
    std::memcpy(buffer->ip, localAddr, sizeof buffer->ip);
    return buffer;
}

bool makePacket(NOLVUDPBUFFER *buffer, int i, NOLVUDPPACKET &p)
{
    if (!inside(buffer, i) || !buffer->message)
        return false;
    const int offset = i * wire::kPayloadSize;
    const int len = buffer->messageLength - offset < wire::kPayloadSize ? buffer->messageLength - offset
                                                                         : wire::kPayloadSize;
    std::memset(&p, 0, wire::kHeaderSize);
    p.date = buffer->date;
    p.time = buffer->time;
    p.type = wire::kPacketType;
    std::memcpy(p.localIp, buffer->ip, sizeof p.localIp);
    p.index = static_cast<int16_t>(i + 1);
    p.total = static_cast<int16_t>(buffer->total);
    p.len = static_cast<int16_t>(len);
    std::memcpy(p.data, buffer->message + offset, size_t(len));
    std::memset(p.data + len, 0, size_t(wire::kPayloadSize - len));
    if (!buffer->checksumMade[i]) {
        buffer->checksums[i] = transport::payloadChecksum(p.data, sizeof p.data);
        buffer->checksumMade[i] = 1;
    }
    p.checksum = buffer->checksums[i];
    return true;
}

qint64 heldBytes(const NOLVUDPBUFFER *buffer)
{
    qint64 bytes = qint64(sizeof(NOLVUDPBUFFER));
    if (buffer->message)
        return bytes + buffer->messageLength + qint64(buffer->total) * 3;
    if (!buffer->chunks)
        return bytes;
    bytes += tableBytes(buffer->total);
    for (int c = 0; c < chunkCount(buffer->total); ++c)
        if (buffer->chunks[c])
            bytes += chunkBytes(buffer->total, c);
    return bytes;
}

qint64 claimCost(const NOLVUDPBUFFER *buffer, int i)
{
    if (!inside(buffer, i) || !buffer->chunks || buffer->chunks[i / wire::kSlotsPerChunk])
        return 0;
    return chunkBytes(buffer->total, i / wire::kSlotsPerChunk);
}

qint64 newBufferCost(int total, int i)
{
    return qint64(sizeof(NOLVUDPBUFFER)) + tableBytes(total) + chunkBytes(total, i / wire::kSlotsPerChunk);
}

bool wasSentTo(const NOLVUDPBUFFER *buffer, quint32 address, uint16_t port)
{
    return buffer->sentTo && address != 0 && buffer->sentTo->contains(transport::endpointId(address, port));
}

bool noteDestination(NOLVUDPBUFFER *buffer, const char *ip, uint16_t port)
{
    const quint32 address = transport::parseIPv4(ip);
    if (address == 0)
        return false; // no datagram can come from it
    if (!buffer->sentTo)
        buffer->sentTo = new QSet<quint64>();
    buffer->sentTo->insert(transport::endpointId(address, port));
    return true;
}

void freeBufferItem(void *buffer) { freeBuffer(static_cast<NOLVUDPBUFFER *>(buffer)); }
