// Sending a block as a buffered message to a server, a client, or every
// entry of one of those tables ("0.0.0.0"). The block is copied and queued:
// the call returns at once, and the writer writes the packets at each
// destination's pace.
#pragma once

#include <QList>
#include <functional>

#include "registry/peer_tables.h"
#include "transport/record_keys.h"
#include "transport/send_target.h"

class Lifetime;
class OutgoingMessages;
class SendRecords;

class PeerSending {
public:
    // Hands a built buffer to one destination (the unit's
    // bufferReadySendToAddr, connected to its sendBufferToAddr).
    using BufferReady = std::function<void(NOLVUDPBUFFER *buffer, char *ip, unsigned short port)>;

    PeerSending(PeerTables &tables, OutgoingMessages &outgoing, SendRecords &sends, Lifetime &life, BufferReady ready)
        : tables(tables), outgoing(outgoing), sends(sends), life(life), ready(std::move(ready))
    {
    }

    // header null means "DATA$name". Returns the identity of the message
    // built (date and time 0 when none).
    MessageKey toServer(const char *bytes, int length, const char *ip, unsigned short port, const char *header);
    MessageKey toClient(const char *bytes, int length, const char *ip, unsigned short port, const char *header);
    // One message to each of `targets`, which share the writer's rounds.
    MessageKey toTargets(const char *bytes, int length, const QList<SendTarget> &targets, const char *header);

private:
    MessageKey toList(const PeerTable &table, const char *bytes, int length, const char *ip, unsigned short port,
                      const char *header);

    PeerTables &tables;
    OutgoingMessages &outgoing;
    SendRecords &sends;
    Lifetime &life;
    BufferReady ready;
};
