#include "registry/peer_sending.h"

#include <cstring>

#include "core/lifetime.h"
#include "text/fixed_text.h"
#include "transport/send/outgoing_messages.h"
#include "transport/send/send_records.h"
#include "transport/send_target.h"

MessageKey PeerSending::toList(const PeerTable &table, const char *bytes, int length, const char *ip,
                               unsigned short port, const char *header)
{
    Lifetime::Entry entry(life);
    const bool everyone = ip && std::strcmp(ip, "0.0.0.0") == 0;
    char dest[16];
    text::copyText(dest, ip);
    NOLVUDPBUFFER *buffer = outgoing.build(bytes, length, header);
    if (!buffer)
        return {};
    const MessageKey identity(buffer->date, buffer->time);
    if (!everyone) {
        ready(buffer, dest, port);
    } else {
        // Every entry listed now gets the message; the writer takes them in
        // turns, so they share its rounds.
        QList<SendTarget> everyEntry;
        everyEntry.reserve(table.size());
        for (const PEERINFO *peer : table.all())
            everyEntry.append(SendTarget(peer->ip, peer->port));
        sends.sendTo(buffer, everyEntry);
    }
    return identity;
}

MessageKey PeerSending::toServer(const char *bytes, int length, const char *ip, unsigned short port,
                                 const char *header)
{
    return toList(tables.servers(), bytes, length, ip, port, header);
}

MessageKey PeerSending::toClient(const char *bytes, int length, const char *ip, unsigned short port,
                                 const char *header)
{
    return toList(tables.clients(), bytes, length, ip, port, header);
}
