#include "transport/buffers.h"

#include <cstdlib>
#include <cstring>

#include "text/fixed_text.h"

namespace {

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
    for (int c = 0; c < chunkCount(buffer->total); ++c)
        std::free(buffer->chunks[c]);
    std::free(buffer->chunks);
    std::free(buffer->sentTo);
    std::free(buffer);
}

NOLVUDPPACKET *packetSlot(const NOLVUDPBUFFER *buffer, int i)
{
    if (!inside(buffer, i))
        return nullptr;
    NOLVUDPPACKET *chunk = buffer->chunks[i / wire::kSlotsPerChunk];
    return chunk ? chunk + i % wire::kSlotsPerChunk : nullptr;
}

bool hasPacket(const NOLVUDPBUFFER *buffer, int i)
{
    const NOLVUDPPACKET *slot = packetSlot(buffer, i);
    return slot && slot->total != 0;
}

NOLVUDPPACKET *claimPacketSlot(NOLVUDPBUFFER *buffer, int i)
{
    if (!inside(buffer, i))
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

qint64 heldBytes(const NOLVUDPBUFFER *buffer)
{
    qint64 bytes = qint64(sizeof(NOLVUDPBUFFER)) + tableBytes(buffer->total);
    for (int c = 0; c < chunkCount(buffer->total); ++c)
        if (buffer->chunks[c])
            bytes += chunkBytes(buffer->total, c);
    return bytes;
}

qint64 claimCost(const NOLVUDPBUFFER *buffer, int i)
{
    if (!inside(buffer, i) || buffer->chunks[i / wire::kSlotsPerChunk])
        return 0;
    return chunkBytes(buffer->total, i / wire::kSlotsPerChunk);
}

qint64 newBufferCost(int total, int i)
{
    return qint64(sizeof(NOLVUDPBUFFER)) + tableBytes(total) + chunkBytes(total, i / wire::kSlotsPerChunk);
}

bool wasSentTo(const NOLVUDPBUFFER *buffer, const char *ip, uint16_t port)
{
    for (int k = 0; k < buffer->sentToCount; ++k)
        if (buffer->sentTo[k].port == port && text::fieldEquals(buffer->sentTo[k].ip, sizeof buffer->sentTo[k].ip, ip))
            return true;
    return false;
}

bool noteDestination(NOLVUDPBUFFER *buffer, const char *ip, uint16_t port)
{
    if (wasSentTo(buffer, ip, port))
        return true;
    if (buffer->sentToCount == buffer->sentToCapacity) {
        const int capacity = buffer->sentToCapacity ? 2 * buffer->sentToCapacity : 4;
        auto *grown = static_cast<Destination *>(std::realloc(buffer->sentTo, sizeof(Destination) * size_t(capacity)));
        if (!grown)
            return false;
        buffer->sentTo = grown;
        buffer->sentToCapacity = capacity;
    }
    Destination &d = buffer->sentTo[buffer->sentToCount++];
    text::copyText(d.ip, ip);
    d.port = port;
    return true;
}
