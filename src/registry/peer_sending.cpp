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
    if (ip && std::strcmp(ip, "0.0.0.0") == 0) {
        // Every entry listed now gets the message.
        QList<SendTarget> everyEntry;
        everyEntry.reserve(table.size());
        for (const PEERINFO *peer : table.all())
            everyEntry.append(SendTarget(peer->ip, peer->port));
        return toTargets(bytes, length, everyEntry, header);
    }
    char dest[16];
    text::copyText(dest, ip);
    NOLVUDPBUFFER *buffer = outgoing.build(bytes, length, header);
    if (!buffer)
        return {};
    const MessageKey identity(buffer->date, buffer->time);
    ready(buffer, dest, port);
    return identity;
}

MessageKey PeerSending::toTargets(const char *bytes, int length, const QList<SendTarget> &targets,
                                  const char *header)
{
    Lifetime::Entry entry(life);
    NOLVUDPBUFFER *buffer = outgoing.build(bytes, length, header);
    if (!buffer)
        return {};
    // The writer takes the destinations in turns, so they share its rounds.
    const MessageKey identity(buffer->date, buffer->time);
    sends.sendTo(buffer, targets);
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
