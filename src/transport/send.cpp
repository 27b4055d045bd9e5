// Outgoing traffic: single protocol messages, buffered messages cut into
// packets, their pacing, and the event processing every wait does.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QUdpSocket>
#include <cstring>

#include "platform/sleep.h"
#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/datagram_tap.h"
#include "transport/send_target.h"
#include "transport/identity.h"
#include "unit/mudp_unit.h"

namespace {
constexpr qint64 kRoundNs = 2000000; // one round of a wait: events, then sleep
constexpr qint64 kMaxLateNs = 500000;
// How late the system's sleeps wake up, learnt as they run. A round sleeps
// that much less, so it lasts about 2 ms and not 2 ms plus the lateness and
// the event processing; every send is paced by these rounds.
thread_local qint64 wakeLateNs = 0;
// Writes between two drains of the unit's socket: well within what its
// buffer holds of the answers to them.
constexpr int kWritesPerDrain = 64;
thread_local quint64 roundsSlept = 0;
} // namespace

quint64 MUDPUnit::waitRounds() { return roundsSlept; }

void MUDPUnit::waitWithEvents(int ms)
{
    QElapsedTimer clock;
    clock.start();
    do {
        ++roundsSlept;
        const qint64 roundEnd = clock.nsecsElapsed() + kRoundNs;
        QCoreApplication::processEvents(QEventLoop::AllEvents, ms);
        readNestedSockets();
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

void MUDPUnit::writePacket(const NOLVUDPPACKET *packet, const char *destIP, unsigned short port)
{
    writePacket(packet, SendTarget(destIP, port));
}

void MUDPUnit::writePacket(const NOLVUDPPACKET *packet, const SendTarget &to)
{
    if (!packet)
        return;
    // Every so many writes the socket is drained into the backlog.
    if (++writesSinceDrain >= kWritesPerDrain)
        drainSocket();
    const char *bytes = reinterpret_cast<const char *>(packet);
    if (!transport::hasOutgoingTap(this)) {
        sendSocket->writeDatagram(bytes, sizeof *packet, to.address, to.port);
        return;
    }
    QByteArray datagram(bytes, sizeof *packet);
    QHostAddress address = to.address;
    quint16 port = to.port;
    if (!transport::passOutgoing(this, datagram, address, port))
        return;
    sendSocket->writeDatagram(datagram, address, port);
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
    packet.checksum = qChecksum(QByteArrayView(packet.data, sizeof packet.data), Qt::ChecksumIso3309);
}

void MUDPUnit::sendProtocol(char *data, char *destIP, unsigned short port, int defaultsize)
{
    if (!data || !destIP || defaultsize < 0)
        return;
    const size_t size = defaultsize ? static_cast<size_t>(defaultsize) : std::strlen(data);
    if (size > static_cast<size_t>(wire::kPayloadSize))
        return;
    NOLVUDPPACKET packet;
    fillProtocolPacket(packet, data, size);
    const SendTarget to(destIP, port); // a copy: the pacing may run code that changes the caller's text
    writePacket(&packet, to);
    paceSingleDatagram(to);
}

void MUDPUnit::sendText(const QByteArray &message, const char *destIP, unsigned short port, int size)
{
    QByteArray copy = message;
    char dest[16];
    text::copyText(dest, destIP);
    sendProtocol(copy.data(), dest, port, size);
}

bool MUDPUnit::writeText(const QByteArray &message, const char *destIP, unsigned short port)
{
    if (!destIP || message.size() > wire::kPayloadSize)
        return false;
    NOLVUDPPACKET packet;
    fillProtocolPacket(packet, message.constData(), static_cast<size_t>(message.size()));
    writePacket(&packet, destIP, port);
    return true;
}

NOLVUDPBUFFER *MUDPUnit::buildBuffer(const char *bytes, int length, const char *header)
{
    waitWithEvents(1);
    if (length < 0 || (length > 0 && !bytes))
        return nullptr;
    const qint64 messageLength = qint64(length) + wire::kMessageHeaderSize;
    const qint64 n = (messageLength + wire::kPayloadSize - 1) / wire::kPayloadSize;
    if (n > wire::kMaxPackets) {
        writeLog(tr("Message too large to send:") + QString::number(length) + tr(" bytes"));
        return nullptr;
    }
    QMutexLocker lock(&bufferMutex);
    // Drop the oldest buffer that no send is still writing.
    if (sentBuffers.size() >= wire::kMaxSentBuffers) {
        for (int i = 0; i < sentBuffers.size(); ++i) {
            if (sentBuffers.at(i)->inUse == 0) {
                freeBuffer(sentBuffers.takeAt(i));
                break;
            }
        }
    }
    char head[wire::kMessageHeaderSize] = {};
    if (header) {
        std::memcpy(head, header, strnlen(header, wire::kMessageHeaderSize - 1));
    } else {
        const QByteArray dataHeader = "DATA$" + text::fieldBytes(localName);
        std::memcpy(head, dataHeader.constData(), static_cast<size_t>(dataHeader.size()));
    }
    NOLVUDPBUFFER *buffer = newBuffer(static_cast<int>(n));
    if (!buffer)
        return nullptr;
    const int lastLen = static_cast<int>(messageLength - (n - 1) * wire::kPayloadSize);
    const MessageIdentity id = nextIdentity(lastIdentity, currentIdentity());
    buffer->count = buffer->total = static_cast<int32_t>(n);
    buffer->date = id.date;
    buffer->time = id.time;
    std::memcpy(buffer->ip, localAddr, sizeof buffer->ip);
    for (int i = 0; i < n; ++i) {
        NOLVUDPPACKET *slot = claimPacketSlot(buffer, i);
        if (!slot) {
            freeBuffer(buffer);
            return nullptr;
        }
        NOLVUDPPACKET &p = *slot;
        p.date = id.date;
        p.time = id.time;
        p.type = wire::kPacketType;
        std::memcpy(p.localIp, localAddr, sizeof p.localIp);
        p.index = static_cast<int16_t>(i + 1);
        p.total = static_cast<int16_t>(n);
        p.len = static_cast<int16_t>(i == n - 1 ? lastLen : wire::kPayloadSize);
        if (i == 0) {
            std::memcpy(p.data, head, sizeof head);
            const int first = length < wire::kPayloadSize - wire::kMessageHeaderSize
                                  ? length : wire::kPayloadSize - wire::kMessageHeaderSize;
            if (first > 0)
                std::memcpy(p.data + wire::kMessageHeaderSize, bytes, static_cast<size_t>(first));
        } else {
            const qint64 offset = qint64(i) * wire::kPayloadSize - wire::kMessageHeaderSize;
            std::memcpy(p.data, bytes + offset, static_cast<size_t>(p.len));
        }
        p.checksum = qChecksum(QByteArrayView(p.data, sizeof p.data), Qt::ChecksumIso3309);
    }
    sentBuffers.append(buffer);
    return buffer;
}

MessageKey MUDPUnit::sendBufferToList(PeerTable &table, const char *bytes, int length, const char *ip,
                                      unsigned short port, const char *header)
{
    const bool everyone = ip && std::strcmp(ip, "0.0.0.0") == 0;
    char dest[16];
    text::copyText(dest, ip);
    NOLVUDPBUFFER *buffer = buildBuffer(bytes, length, header);
    if (!buffer)
        return {};
    const MessageKey identity(buffer->date, buffer->time);
    ++buffer->inUse;
    if (!everyone) {
        Q_EMIT bufferReadySendToAddr(buffer, dest, port);
    } else {
        // Every entry listed now gets the message, all of them in the same
        // rounds; the table may change meanwhile, so its addresses are copied.
        QList<SendTarget> everyEntry;
        everyEntry.reserve(table.size());
        for (const PEERINFO *peer : table.all())
            everyEntry.append(SendTarget(peer->ip, peer->port));
        sendBufferToAddrs(buffer, everyEntry);
    }
    --buffer->inUse;
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
    if (!buffer || !IP)
        return;
    sendBufferToAddrs(buffer, {SendTarget(IP, port)});
}

void MUDPUnit::returnRequestedPacket(NOLVUDPPACKET *packet, char *destIP, unsigned short port)
{
    if (!packet || !destIP)
        return;
    const SendTarget to(destIP, port);
    writePacket(packet, to);
    paceSingleDatagram(to);
}
