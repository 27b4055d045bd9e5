// A peer's address and port: the text key the tables use ("ip:port"), the
// numeric key of the transport's per-peer state, and the dotted-decimal
// address text, formed without allocating.
#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace transport {

// "ip:port", the address text read up to its NUL within 16 bytes.
QByteArray endpointKey(const char *ip, unsigned short port);

// An IPv4 address (host order) and a port as one number.
inline quint64 endpointId(quint32 address, quint16 port) { return (quint64(address) << 16) | port; }

// The dotted-decimal text of an IPv4 address (host order), NUL-terminated.
void formatIPv4(quint32 address, char (&out)[16]);

// The IPv4 address (host order) of a dotted-decimal text; 0 when it is none.
quint32 parseIPv4(const char *text);

} // namespace transport
