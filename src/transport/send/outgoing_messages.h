// The outgoing messages this unit holds (sentBuffers): built here from the
// host's bytes, kept to be written and to answer lost-packet requests, at
// most 500 of them and 256 MiB together; the oldest that no queue writes
// makes room for a new one.
#pragma once

#include <QMutex>

#include "transport/retire.h"

class HostBridge;
struct LocalIdentity;

class OutgoingMessages {
public:
    OutgoingMessages(LocalIdentity &self, HostBridge &host, Lifetime &life);
    ~OutgoingMessages();
    OutgoingMessages(const OutgoingMessages &) = delete;
    OutgoingMessages &operator=(const OutgoingMessages &) = delete;

    // A new message of `length` bytes after the 80-byte header (null:
    // "DATA$name"), held; null (logged) when it is too large or there is no
    // room for it.
    NOLVUDPBUFFER *build(const char *bytes, int length, const char *header);
    NOLVUDPBUFFER *find(int32_t date, int32_t time) const { return sent.first(MessageKey(date, time)); }
    const QList<NOLVUDPBUFFER *> &all() const { return sent.all(); }

private:
    bool makeRoom(qint64 bytes);

    LocalIdentity &self;
    HostBridge &host;
    Lifetime &life;
    BufferTable sent{sentBufferKey};
    qint64 sentBytes = 0; // what `sent` holds
    QMutex bufferMutex;   // held while a buffer is built and appended
};
