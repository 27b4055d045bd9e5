// Records taken out of the unit's tables while code may still hold them.
//
// Any log line, host message or signal can run the event loop underneath: a
// host may call a waiting export (regToServer, hole punching) from its window
// procedure, and a timer tick or a datagram handled there may take out the
// very record the code around the notification works on. So nothing is freed
// while the unit is entered: what the tables let go of waits here, and goes
// when the outermost entry into the unit (an export, a slot the event loop
// calls) returns. Code may therefore keep using a record across any
// notification; it only has to look it up again to know whether the table
// still holds it. A host that waits inside a notification gets back, round
// by round, what was both made and let go of during its wait (see
// unit/wait_generation.h); peer records, which only timer jobs and list
// merges let go of, wait for the outermost return.
#pragma once

#include <vector>

#include "mudp.h"
#include "transport/wire.h"

class Graveyard {
public:
    Graveyard() = default;
    Graveyard(const Graveyard &) = delete;
    Graveyard &operator=(const Graveyard &) = delete;
    ~Graveyard() { release(); }

    void add(NOLVUDPBUFFER *buffer) { buffers.push_back(buffer); }
    void add(SENDRECORD *record) { records.push_back(record); }
    void add(PEERINFO *peer) { peers.push_back(peer); }
    void release();
    // Frees the buffers and send records made in wait generation `bornSince`
    // or later.
    void releaseBornSince(quint64 bornSince);
    bool isEmpty() const { return buffers.empty() && records.empty() && peers.empty(); }
    int size() const { return int(buffers.size() + records.size() + peers.size()); }

private:
    std::vector<NOLVUDPBUFFER *> buffers;
    std::vector<SENDRECORD *> records;
    std::vector<PEERINFO *> peers;
};
