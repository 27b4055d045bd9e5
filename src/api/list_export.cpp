// Flat copies of the peer tables for the host, in the unit's listScratch.
#include <cstdlib>
#include <cstring>

#include "unit/mudp_unit.h"

PEERINFO *MUDPUnit::exportList(List list, int *count)
{
    std::free(listScratch);
    listScratch = nullptr;
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
