// Flat copies of the peer tables for the host, in the unit's listScratch.
#include <cstdlib>
#include <cstring>

#include "unit/mudp_unit.h"

void MUDPUnit::releaseListScratch()
{
    // During a host message the host may still read the array it got before:
    // it goes when the outermost window procedure returns.
    if (hostDepth > 0 && listScratch)
        retiredLists.append(listScratch);
    else
        std::free(listScratch);
    listScratch = nullptr;
}

PEERINFO *MUDPUnit::exportList(List list, int *count)
{
    releaseListScratch();
    const PeerTable &table = list == List::Server ? serverList : list == List::Client ? clientList : liveUserList;
    const int n = table.size();
    if (count)
        *count = 0;
    if (n == 0)
        return nullptr;
    listScratch = static_cast<PEERINFO *>(std::malloc(sizeof(PEERINFO) * static_cast<size_t>(n)));
    if (!listScratch)
        return nullptr;
    for (int i = 0; i < n; ++i)
        std::memcpy(&listScratch[i], table.at(i), sizeof(PEERINFO));
    if (count)
        *count = n;
    return listScratch;
}
