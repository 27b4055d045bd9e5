// Incoming datagrams: checks, reassembly into incoming buffers, and the hand
// over of each complete message to the dispatcher.
#include <QUdpSocket>
#include <cstring>
#include <memory>
#include <new>

#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/identity.h"
#include "transport/message.h"
#include "transport/protocol_words.h"
#include "transport/unit_registry.h"
#include "unit/mudp_unit.h"

namespace {

// The units of this thread, for the waits that read their sockets.
QList<MUDPUnit *> &unitsOfThread()
{
    thread_local QList<MUDPUnit *> units;
    return units;
}

// How deep datagram handling may nest: a handler's wait reads further
// datagrams of its own socket only this many levels down, so a burst of
// datagrams cannot grow the stack without bound.
constexpr int kMaxReceiveDepth = 4;

// Datagrams a unit keeps in its backlog (about 4.5 MiB); beyond that the
// socket's own buffer takes them, and drops them when it is full.
constexpr size_t kMaxBacklog = 8192;

} // namespace

// Reads one datagram as its first 548 bytes. On Windows a datagram longer
// than the buffer fails to read (WSAEMSGSIZE) instead of being cut, so there
// a longer one is read whole and cut here.
static qint64 readCut(QUdpSocket *socket, char *out, QHostAddress *sender, quint16 *port)
{
    constexpr qint64 kSize = sizeof(NOLVUDPPACKET);
#ifdef _WIN32
    const qint64 size = socket->pendingDatagramSize();
    if (size > kSize) {
        QByteArray whole(size, Qt::Uninitialized);
        const qint64 got = socket->readDatagram(whole.data(), size, sender, port);
        if (got < 0)
            return got;
        std::memcpy(out, whole.constData(), size_t(qMin(got, kSize)));
        return qMin(got, kSize);
    }
#endif
    return socket->readDatagram(out, kSize, sender, port);
}

void registerUnit(MUDPUnit *unit) { unitsOfThread().append(unit); }

void unregisterUnit(MUDPUnit *unit) { unitsOfThread().removeOne(unit); }

void MUDPUnit::readNestedSockets()
{
    // The event loop does not deliver a socket's datagrams while one of them
    // is being handled, yet handlers wait for answers (a registration made
    // from inside a notification) and servers send long lists from inside a
    // handler while acknowledgements pile up. Read those sockets here.
    const QList<MUDPUnit *> units = unitsOfThread(); // reading may add or remove units
    for (MUDPUnit *unit : units) {
        if (!unitsOfThread().contains(unit))
            continue;
        // A unit in no handler gets its socket's datagrams from the event
        // loop, but what its own writes drained into the backlog only here.
        const bool nested = unit->receiveDepth > 0 && unit->receiveDepth < kMaxReceiveDepth &&
                            (!unit->backlog.empty() || unit->recvSocket->hasPendingDatagrams());
        if (nested || (unit->receiveDepth == 0 && !unit->backlog.empty()))
            unit->processPendingDatagrams();
    }
}

void MUDPUnit::processPendingDatagrams()
{
    ++receiveDepth;
    // Only the first 548 bytes of a datagram count, so none is asked for its
    // size first: a longer one is cut to them as it is read, which saves a
    // system call per datagram for servers with many clients.
    char datagram[sizeof(NOLVUDPPACKET)];
    for (;;) {
        if (!backlog.empty()) { // older than what the socket holds
            const QueuedDatagram queued = std::move(backlog.front());
            backlog.pop_front();
            receiveDatagram(reinterpret_cast<const char *>(&queued.packet), queued.size, queued.sender, queued.port);
            continue;
        }
        if (!recvSocket->hasPendingDatagrams())
            break;
        QHostAddress sender;
        quint16 port = 0;
        const qint64 got = readCut(recvSocket, datagram, &sender, &port);
        if (got < 0)
            break;
        receiveDatagram(datagram, got, sender, port);
    }
    --receiveDepth;
}

void MUDPUnit::drainSocket()
{
    // A long run of writes (a list to a thousand clients) reads nothing,
    // and the socket's buffer holds a few hundred datagrams: the REGs,
    // receipts and requests that come meanwhile would be dropped.
    writesSinceDrain = 0;
    if (recvSocket->state() != QAbstractSocket::BoundState)
        return;
    while (backlog.size() < kMaxBacklog && recvSocket->hasPendingDatagrams()) {
        QueuedDatagram &queued = backlog.emplace_back();
        queued.size = readCut(recvSocket, reinterpret_cast<char *>(&queued.packet), &queued.sender, &queued.port);
        if (queued.size < 0) {
            backlog.pop_back();
            break;
        }
    }
    // Outside any handler no wait may come soon: the event loop handles it.
    if (receiveDepth == 0 && !backlog.empty())
        QMetaObject::invokeMethod(this, "processPendingDatagrams", Qt::QueuedConnection);
}

void MUDPUnit::receiveDatagram(const char *bytes, qint64 size, const QHostAddress &sender, unsigned short port)
{
    if (!bytes || size < static_cast<qint64>(sizeof(NOLVUDPPACKET)))
        return;
    // A private, aligned copy: the handlers run nested and may read the socket.
    NOLVUDPPACKET packet;
    std::memcpy(&packet, bytes, sizeof packet);
    Q_EMIT getRecvPacket(&packet, sender, port);
}

namespace {

// Whether the header fields that place a packet are usable.
bool wellFormed(const NOLVUDPPACKET &p)
{
    return p.total >= 1 && p.index >= 1 && p.index <= p.total && p.len >= 0 && p.len <= wire::kPayloadSize;
}

void addressText(const QHostAddress &sender, char (&out)[16])
{
    bool isV4 = false;
    const quint32 v4 = sender.toIPv4Address(&isV4);
    const QString s = isV4 ? QHostAddress(v4).toString() : sender.toString();
    text::copyText(out, s.toLatin1().constData());
}

} // namespace

void MUDPUnit::processPacket(NOLVUDPPACKET *packet, QHostAddress sender, unsigned short sendport)
{
    if (!packet || packet->type != wire::kPacketType)
        return;
    Message m;
    addressText(sender, m.srcIp);
    m.srcPort = sendport;
    m.packet = packet;
    m.packetKey = packetKey(packet->date, packet->time, packet->index);

    const quint16 sum = qChecksum(QByteArrayView(packet->data, sizeof packet->data), Qt::ChecksumIso3309);
    if (sum != packet->checksum) {
        const QByteArray request = "REQUEST$" + text::fieldBytes(localName) + m.packetKey;
        sendText(request, m.srcIp, m.srcPort);
        writeLog(tr("Request for Error Packet:") + QString::fromLatin1(request) + tr(" From:") +
                 QString::fromLatin1(text::fieldBytes(packet->localIp)));
        waitWithEvents(1);
        return;
    }
    if (!wellFormed(*packet))
        return;

    NOLVUDPBUFFER *record = findRecvBuffer(m.srcIp, packet->date, packet->time, m.srcPort);
    const int slotIndex = packet->index - 1;
    bool onePacket = false;
    // Some peers stamp a one-packet message (an acknowledgement sent while a
    // longer message goes out) with that message's identity: it is a message
    // of its own, handled and not kept, never a packet of the longer one.
    const bool sharesIdentity = record && record->total != packet->total && packet->total == 1;
    if (sharesIdentity)
        record = nullptr;
    if (record) {
        if (record->total != packet->total)
            return;
        if (hasPacket(record, slotIndex)) {
            writeLog(tr("Repeated Data:") + QString::fromLatin1(m.packetKey) + tr(" From ") +
                     QString::fromLatin1(text::fieldBytes(record->ip)));
            // A repeat of a message already acknowledged means the RECEIVED
            // was lost: acknowledge again, without delivering it again.
            if (record->acknowledged && record->count == record->total) {
                const QByteArray ack = "RECEIVED$" + text::fieldBytes(localName) +
                                       messageKey(record->date, record->time, record->total);
                ++record->inUse;
                sendText(ack, m.srcIp, m.srcPort);
                --record->inUse;
            } else if (slotIndex == 0 && record->count < record->total) {
                noteSenderDone(record);
            }
            return;
        }
        // A packet that needs a new chunk beyond its source's budget is
        // dropped; the lost-packet requests ask for it again.
        const qint64 cost = claimCost(record, slotIndex);
        if (cost > 0 && !recvBudget.fits(record->ip, cost))
            return;
        NOLVUDPPACKET *slot = claimPacketSlot(record, slotIndex);
        if (!slot)
            return;
        recvBudget.add(record->ip, cost);
        *slot = *packet;
        ++record->count;
        noteArrival(record, packet->index);
        if (slotIndex == 0)
            noteListRecord(record);
    } else {
        // A record holds what has arrived, chunk by chunk; packets that would
        // start a record beyond the budget are dropped until older ones expire.
        if (packet->total > 1 && !recvBudget.fits(m.srcIp, newBufferCost(packet->total, slotIndex)))
            return;
        record = newBuffer(packet->total);
        NOLVUDPPACKET *slot = record ? claimPacketSlot(record, slotIndex) : nullptr;
        if (!slot) {
            freeBuffer(record);
            return;
        }
        record->count = 1;
        record->date = packet->date;
        record->time = packet->time;
        std::memcpy(record->ip, m.srcIp, sizeof record->ip);
        record->port = m.srcPort;
        *slot = *packet;
        if (packet->total == 1) {
            onePacket = true;
        } else {
            recvBuffers.append(record);
            recvBudget.add(record->ip, heldBytes(record));
            noteArrival(record, packet->index);
            if (slotIndex == 0)
                noteListRecord(record);
        }
    }

    m.record = record;
    m.messageKey = messageKey(record->date, record->time, record->total);
    if (record->count != record->total)
        return;

    // Complete: join the payloads and hand the message to its handler.
    const size_t blockSize = static_cast<size_t>(record->total) * wire::kPayloadSize;
    std::unique_ptr<char[]> block(new (std::nothrow) char[blockSize]);
    if (!block) {
        if (onePacket)
            freeBuffer(record);
        return;
    }
    for (int i = 0; i < record->total; ++i)
        std::memcpy(block.get() + size_t(i) * wire::kPayloadSize, packetSlot(record, i)->data, wire::kPayloadSize);
    m.block = block.get();
    m.length = (record->total - 1) * wire::kPayloadSize + packetSlot(record, record->total - 1)->len;
    m.fields = HeaderFields::parse(m.block, wire::kMessageHeaderSize);

    const ProtocolWord *word = findProtocolWord(m.fields.text(0));
    const bool kept = word && word->buffered && !sharesIdentity;
    if (onePacket && kept) {
        if (!recvBudget.fits(record->ip, heldBytes(record))) {
            freeBuffer(record);
            return;
        }
        recvBuffers.append(record);
        recvBudget.add(record->ip, heldBytes(record));
    }
    ++record->inUse;
    dispatch(m);
    --record->inUse;
    if (onePacket && !kept)
        freeBuffer(record);
}
