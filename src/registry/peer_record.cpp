#include "registry/peer_record.h"

#include <cstring>

#include "text/fixed_text.h"

namespace {

void terminateName(char *field, size_t width)
{
    if (memchr(field, '\0', width))
        return;
    const size_t keep = text::gb18030PrefixLength(field, width - 1);
    std::memset(field + keep, 0, width - keep);
}

void terminateText(char *field, size_t width)
{
    if (!memchr(field, '\0', width))
        field[width - 1] = '\0';
}

} // namespace

void terminatePeerTexts(PEERINFO &peer)
{
    terminateName(peer.name, sizeof peer.name);
    terminateText(peer.ip, sizeof peer.ip);
    terminateText(peer.localIp, sizeof peer.localIp);
    terminateName(peer.serverName, sizeof peer.serverName);
    terminateText(peer.serverIp, sizeof peer.serverIp);
}
