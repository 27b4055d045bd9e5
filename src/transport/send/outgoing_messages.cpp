#include "transport/send/outgoing_messages.h"

#include <cstring>

#include "core/host_bridge.h"
#include "core/tr.h"
#include "core/wait_generation.h"
#include "transport/local_identity.h"

namespace {
// What the outgoing buffers may hold together; beyond it the oldest buffer
// that no queue holds makes room, and a send that finds none is refused.
constexpr qint64 kMaxSentBytes = 256ll * 1024 * 1024;
} // namespace

OutgoingMessages::OutgoingMessages(LocalIdentity &self, HostBridge &host, Lifetime &life)
    : self(self), host(host), life(life)
{
}

OutgoingMessages::~OutgoingMessages()
{
    for (NOLVUDPBUFFER *b : sent.takeAll())
        freeBuffer(b);
}

NOLVUDPBUFFER *OutgoingMessages::build(const char *bytes, int length, const char *header)
{
    Lifetime::Entry entry(life);
    if (length < 0 || (length > 0 && !bytes))
        return nullptr;
    const qint64 messageLength = qint64(length) + wire::kMessageHeaderSize;
    const qint64 n = (messageLength + wire::kPayloadSize - 1) / wire::kPayloadSize;
    if (n > wire::kMaxPackets) {
        host.writeLog(tr("Message too large to send:") + QString::number(length) + tr(" bytes"));
        return nullptr;
    }
    QMutexLocker lock(&bufferMutex);
    if (!makeRoom(messageLength)) {
        lock.unlock();
        host.writeLog(tr("Send refused, too much waiting to be sent:") + QString::number(length) + tr(" bytes"));
        return nullptr;
    }
    char head[wire::kMessageHeaderSize] = {};
    if (header) {
        std::memcpy(head, header, strnlen(header, wire::kMessageHeaderSize - 1));
    } else {
        const QByteArray dataHeader = "DATA$" + self.nameBytes();
        std::memcpy(head, dataHeader.constData(), static_cast<size_t>(dataHeader.size()));
    }
    // Identities never repeat within a unit (see nextIdentity), so no wait
    // is needed between two buffers.
    NOLVUDPBUFFER *buffer = newOutgoingBuffer(head, bytes, length, self.nextIdentity(), self.addr);
    if (!buffer)
        return nullptr;
    buffer->birth = waitgen::current();
    sent.append(buffer);
    sentBytes += heldBytes(buffer);
    return buffer;
}

bool OutgoingMessages::makeRoom(qint64 bytes)
{
    // The oldest buffers go first, as the 500 limit has it; one that a queue
    // still writes stays.
    for (int i = 0; i < sent.size() && (sent.size() >= wire::kMaxSentBuffers || sentBytes + bytes > kMaxSentBytes);) {
        NOLVUDPBUFFER *buffer = sent.at(i);
        if (buffer->inUse > 0) {
            ++i;
            continue;
        }
        sent.takeAt(i);
        sentBytes -= heldBytes(buffer);
        retire(life, buffer);
    }
    return sent.size() < wire::kMaxSentBuffers && sentBytes + bytes <= kMaxSentBytes;
}
