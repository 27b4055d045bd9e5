#include "registry/peer_keys.h"

#include <cstring>

#include "text/fixed_text.h"
#include "transport/endpoint.h"

namespace {

QByteArray fieldText(const char *field, size_t width)
{
    return QByteArray(field, static_cast<qsizetype>(text::fieldLength(field, width)));
}

bool given(const char *s) { return s && *s; }

bool textMatches(const char *key, const char *field, size_t width)
{
    return !given(key) || text::fieldEquals(field, width, key);
}

} // namespace

QByteArray peerAddressKey(const PEERINFO *p) { return fieldText(p->ip, sizeof p->ip); }

QByteArray peerNameKey(const PEERINFO *p) { return fieldText(p->name, sizeof p->name); }

QByteArray peerEndpointKey(const PEERINFO *p) { return transport::endpointKey(p->ip, p->port); }

bool PeerQuery::matches(const PEERINFO *p) const
{
    return textMatches(ip, p->ip, sizeof p->ip) && (port == 0 || port == p->port) &&
           textMatches(name, p->name, sizeof p->name) &&
           textMatches(serverIp, p->serverIp, sizeof p->serverIp) &&
           (serverPort == 0 || serverPort == p->serverPort);
}
