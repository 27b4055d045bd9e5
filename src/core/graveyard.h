// What the parts' tables let go of while code may still hold it.
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
// core/wait_generation.h); what has no wait generation (peer records, which
// only timer jobs and list merges let go of) waits for the outermost return.
#pragma once

#include <QtGlobal>
#include <vector>

class Graveyard {
public:
    using Free = void (*)(void *item);

    Graveyard() = default;
    Graveyard(const Graveyard &) = delete;
    Graveyard &operator=(const Graveyard &) = delete;
    ~Graveyard() { release(); }

    // `birth` is the wait generation the item was made in; 0 for none.
    void add(void *item, Free free, quint64 birth) { graves.push_back({item, free, birth}); }
    void release();
    // Frees what was made in wait generation `bornSince` or later.
    void releaseBornSince(quint64 bornSince);
    bool isEmpty() const { return graves.empty(); }
    int size() const { return int(graves.size()); }

private:
    struct Grave {
        void *item;
        Free free;
        quint64 birth;
    };
    std::vector<Grave> graves;
};
