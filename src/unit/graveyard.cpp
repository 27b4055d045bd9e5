#include "unit/graveyard.h"

#include <algorithm>

#include "transport/buffers.h"

namespace {
// Takes the items made in generation `bornSince` or later out of `items`.
template <typename T> std::vector<T *> takeBornSince(std::vector<T *> &items, quint64 bornSince)
{
    const auto young = std::stable_partition(items.begin(), items.end(),
                                             [bornSince](const T *item) { return item->birth < bornSince; });
    std::vector<T *> out(young, items.end());
    items.erase(young, items.end());
    return out;
}
} // namespace

void Graveyard::release()
{
    // Swapped out first: nothing freed here runs code, but keep the lists
    // consistent whatever the destructors do.
    std::vector<NOLVUDPBUFFER *> b;
    std::vector<SENDRECORD *> r;
    std::vector<PEERINFO *> p;
    b.swap(buffers);
    r.swap(records);
    p.swap(peers);
    for (NOLVUDPBUFFER *buffer : b)
        freeBuffer(buffer);
    for (SENDRECORD *record : r)
        delete record;
    for (PEERINFO *peer : p)
        delete peer;
}

void Graveyard::releaseBornSince(quint64 bornSince)
{
    for (NOLVUDPBUFFER *buffer : takeBornSince(buffers, bornSince))
        freeBuffer(buffer);
    for (SENDRECORD *record : takeBornSince(records, bornSince))
        delete record;
}
