#include "transport/wire.h"

#include <cstdlib>
#include <new>

// calloc leaves large arrays to the system's zero pages until they are
// written, so a record announced for many packets costs memory only as its
// packets arrive.
NOLVUDPBUFFER *newBuffer(int total)
{
    if (total < 1 || total > wire::kMaxPackets)
        return nullptr;
    auto *buffer = static_cast<NOLVUDPBUFFER *>(std::calloc(1, sizeof(NOLVUDPBUFFER)));
    if (!buffer)
        return nullptr;
    buffer->packets = static_cast<NOLVUDPPACKET *>(std::calloc(static_cast<size_t>(total), sizeof(NOLVUDPPACKET)));
    if (!buffer->packets) {
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
    std::free(buffer->packets);
    std::free(buffer);
}
