#include "core/lifetime.h"

#include <QList>

namespace {
// The lifetimes of the units on this thread, for the waits' rounds.
QList<Lifetime *> &lifetimesOfThread()
{
    thread_local QList<Lifetime *> all;
    return all;
}
} // namespace

Lifetime::Lifetime() { lifetimesOfThread().append(this); }

Lifetime::~Lifetime()
{
    lifetimesOfThread().removeOne(this);
    graveyard.release();
}

Lifetime::Entry::~Entry()
{
    if (--life.depth == 0)
        life.graveyard.release();
}

void Lifetime::retire(void *item, Graveyard::Free free, quint64 birth)
{
    if (depth > 0)
        graveyard.add(item, free, birth);
    else
        free(item);
}

void Lifetime::releaseBornSince(quint64 bornSince)
{
    for (Lifetime *life : lifetimesOfThread())
        life->graveyard.releaseBornSince(bornSince);
}
