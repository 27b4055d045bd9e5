#include "core/graveyard.h"

#include <algorithm>

void Graveyard::release()
{
    // Swapped out first: nothing freed here runs code, but keep the list
    // consistent whatever the frees do.
    std::vector<Grave> all;
    all.swap(graves);
    for (const Grave &g : all)
        g.free(g.item);
}

void Graveyard::releaseBornSince(quint64 bornSince)
{
    const auto young = std::stable_partition(graves.begin(), graves.end(), [bornSince](const Grave &g) {
        return g.birth == 0 || g.birth < bornSince;
    });
    std::vector<Grave> out(young, graves.end());
    graves.erase(young, graves.end());
    for (const Grave &g : out)
        g.free(g.item);
}
