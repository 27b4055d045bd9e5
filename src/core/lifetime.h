// The re-entrancy guard of a unit and what its parts let go of meanwhile.
//
// Every entry into the unit (an export, a slot, a timer of a part) holds an
// Entry. Records a part takes out of its table while the unit is entered go
// to the graveyard and are freed when the outermost entry returns, or at the
// end of a round of a wait that began before they were made (waitgen).
#pragma once

#include <QtGlobal>

#include "core/graveyard.h"

class Lifetime {
public:
    Lifetime();
    ~Lifetime();
    Lifetime(const Lifetime &) = delete;
    Lifetime &operator=(const Lifetime &) = delete;

    // Marks the unit as entered for as long as it lives.
    class Entry {
    public:
        explicit Entry(Lifetime &life) : life(life) { ++life.depth; }
        ~Entry();
        Entry(const Entry &) = delete;
        Entry &operator=(const Entry &) = delete;

    private:
        Lifetime &life;
    };

    bool entered() const { return depth > 0; }
    // Frees the item now, or once no code of the unit can hold it.
    void retire(void *item, Graveyard::Free free, quint64 birth);
    // Frees the item once no code of the unit can hold it, entered or not.
    void defer(void *item, Graveyard::Free free, quint64 birth) { graveyard.add(item, free, birth); }
    int retiredCount() const { return graveyard.size(); }
    // Frees everything let go of, at the unit's end.
    void releaseAll() { graveyard.release(); }

    // Frees, for every unit of this thread, what was let go of and made in
    // wait generation `bornSince` or later (at the end of a wait's round).
    static void releaseBornSince(quint64 bornSince);

private:
    int depth = 0;
    Graveyard graveyard;
};

// Typed frees for the graveyard.
template <typename T> void deleteItem(void *item) { delete static_cast<T *>(item); }
