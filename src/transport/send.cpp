// Outgoing traffic: single protocol messages, which go out at once, and
// buffered messages, which are built here and queued for the writer; and the
// event processing of every wait.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <cstring>

#include "platform/sleep.h"
#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/checksum.h"
#include "transport/identity.h"
#include "transport/send_target.h"
#include "unit/mudp_unit.h"
#include "unit/wait_generation.h"

namespace {
constexpr qint64 kRoundNs = 2000000; // one round of a wait: events, then sleep
constexpr qint64 kMaxLateNs = 500000;
// How late the system's sleeps wake up, learnt as they run. A round sleeps
// that much less, so it lasts about 2 ms and not 2 ms plus the lateness and
// the event processing.
thread_local qint64 wakeLateNs = 0;
thread_local quint64 roundsSlept = 0;
} // namespace

quint64 MUDPUnit::waitRounds() { return roundsSlept; }

void MUDPUnit::waitWithEvents(int ms)
{
    QElapsedTimer clock;
    clock.start();
    // What the handlers of a round make and let go of, no frame below this
    // wait can hold: it goes when the round ends.
    const quint64 generation = waitgen::begin();
    do {
        ++roundsSlept;
        const qint64 roundEnd = clock.nsecsElapsed() + kRoundNs;
        QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
        readNestedSockets();
        freeBornSince(generation);
        if (platform::sleepReplaced()) {
            platform::sleepMs(2); // a replaced sleep stands for the whole wait
            return;
        }
        const qint64 wakeAt = roundEnd - wakeLateNs;
        const qint64 now = clock.nsecsElapsed();
        if (wakeAt > now) {
            platform::sleepNs(wakeAt - now);
            const qint64 late = clock.nsecsElapsed() - wakeAt;
            wakeLateNs = qBound<qint64>(0, wakeLateNs + (late - wakeLateNs) / 8, kMaxLateNs);
        }
    } while (clock.elapsed() < ms);
}

void MUDPUnit::fillProtocolPacket(NOLVUDPPACKET &packet, const char *data, size_t size)
{
    std::memset(&packet, 0, sizeof packet);
    const MessageIdentity id = nextIdentity(lastIdentity, currentIdentity());
    packet.date = id.date;
    packet.time = id.time;
    packet.type = wire::kPacketType;
    std::memcpy(packet.localIp, localAddr, sizeof packet.localIp);
    packet.localPort = boundPort;
    packet.index = 1;
    packet.total = 1;
    packet.len = static_cast<int16_t>(size);
    std::memcpy(packet.data, data, size);
    packet.checksum = transport::payloadChecksum(packet.data, sizeof packet.data);
}

void MUDPUnit::sendProtocol(char *data, char *destIP, unsigned short port, int defaultsize)
{
    EntryGuard guard(*this);
    if (!data || !destIP || defaultsize < 0)
        return;
    const size_t size = defaultsize ? static_cast<size_t>(defaultsize) : std::strlen(data);
    if (size > static_cast<size_t>(wire::kPayloadSize))
        return;
    NOLVUDPPACKET packet;
    fillProtocolPacket(packet, data, size);
    writeSingle(packet, destIP, port);
}

void MUDPUnit::sendText(const QByteArray &message, const char *destIP, unsigned short port, int size)
{
    QByteArray copy = message;
    char dest[16];
    text::copyText(dest, destIP);
    sendProtocol(copy.data(), dest, port, size);
}

NOLVUDPBUFFER *MUDPUnit::buildBuffer(const char *bytes, int length, const char *header)
{
    EntryGuard guard(*this);
    if (length < 0 || (length > 0 && !bytes))
        return nullptr;
    const qint64 messageLength = qint64(length) + wire::kMessageHeaderSize;
    const qint64 n = (messageLength + wire::kPayloadSize - 1) / wire::kPayloadSize;
    if (n > wire::kMaxPackets) {
        writeLog(tr("Message too large to send:") + QString::number(length) + tr(" bytes"));
        return nullptr;
    }
    QMutexLocker lock(&bufferMutex);
    if (!makeRoomForBuffer(messageLength)) {
        lock.unlock();
        writeLog(tr("Send refused, too much waiting to be sent:") + QString::number(length) + tr(" bytes"));
        return nullptr;
    }
    char head[wire::kMessageHeaderSize] = {};
    if (header) {
        std::memcpy(head, header, strnlen(header, wire::kMessageHeaderSize - 1));
    } else {
        const QByteArray dataHeader = "DATA$" + text::fieldBytes(localName);
        std::memcpy(head, dataHeader.constData(), static_cast<size_t>(dataHeader.size()));
    }
    // Identities never repeat within a unit (see nextIdentity), so no wait
    // is needed between two buffers.
    NOLVUDPBUFFER *buffer =
        newOutgoingBuffer(head, bytes, length, nextIdentity(lastIdentity, currentIdentity()), localAddr);
    if (!buffer)
        return nullptr;
    buffer->birth = waitgen::current();
    sentBuffers.append(buffer);
    sentBytes += heldBytes(buffer);
    return buffer;
}

MessageKey MUDPUnit::sendBufferToList(PeerTable &table, const char *bytes, int length, const char *ip,
                                      unsigned short port, const char *header)
{
    EntryGuard guard(*this);
    const bool everyone = ip && std::strcmp(ip, "0.0.0.0") == 0;
    char dest[16];
    text::copyText(dest, ip);
    NOLVUDPBUFFER *buffer = buildBuffer(bytes, length, header);
    if (!buffer)
        return {};
    const MessageKey identity(buffer->date, buffer->time);
    if (!everyone) {
        Q_EMIT bufferReadySendToAddr(buffer, dest, port);
    } else {
        // Every entry listed now gets the message; the writer takes them in
        // turns, so they share its rounds.
        QList<SendTarget> everyEntry;
        everyEntry.reserve(table.size());
        for (const PEERINFO *peer : table.all())
            everyEntry.append(SendTarget(peer->ip, peer->port));
        sendBufferToAddrs(buffer, everyEntry);
    }
    return identity;
}

void MUDPUnit::sendBufferToServer(const char *bytes, int length, const char *ip, unsigned short port,
                                  const char *header)
{
    sendBufferToList(serverList, bytes, length, ip, port, header);
}

void MUDPUnit::sendBufferToClient(const char *bytes, int length, const char *ip, unsigned short port,
                                  const char *header)
{
    sendBufferToList(clientList, bytes, length, ip, port, header);
}

void MUDPUnit::sendBufferToAddr(NOLVUDPBUFFER *buffer, char *IP, unsigned short port)
{
    EntryGuard guard(*this);
    if (!buffer || !IP)
        return;
    sendBufferToAddrs(buffer, {SendTarget(IP, port)});
}

void MUDPUnit::returnRequestedPacket(NOLVUDPPACKET *packet, char *destIP, unsigned short port)
{
    EntryGuard guard(*this);
    if (!packet || !destIP)
        return;
    NOLVUDPPACKET copy = *packet;
    writeSingle(copy, destIP, port);
}
