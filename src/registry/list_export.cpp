#include "registry/list_export.h"

#include <cstdlib>
#include <cstring>

#include "core/host_bridge.h"

ListExport::ListExport(HostBridge &host) : host(host)
{
    host.setWhenLeft([this] { freeRetired(); });
}

ListExport::~ListExport()
{
    host.setWhenLeft(nullptr);
    std::free(listScratch);
    freeRetired();
}

void ListExport::release()
{
    // During a host message the host may still read the array it got before:
    // it goes when the outermost window procedure returns.
    if (host.inside() && listScratch)
        retiredLists.append(listScratch);
    else
        std::free(listScratch);
    listScratch = nullptr;
}

void ListExport::freeRetired()
{
    for (PEERINFO *list : retiredLists)
        std::free(list);
    retiredLists.clear();
}

PEERINFO *ListExport::copy(const PeerTable &table, int *count)
{
    release();
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
