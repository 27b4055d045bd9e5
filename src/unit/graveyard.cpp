#include "unit/graveyard.h"

#include "transport/buffers.h"

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
