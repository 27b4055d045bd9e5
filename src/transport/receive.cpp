// Incoming datagrams: reading them in batches, the checks every packet
// passes, reassembly into incoming buffers, and the hand-over of each
// complete message to the dispatcher.
#include <QUdpSocket>
#include <cstring>
#include <memory>
#include <new>

#include "platform/clock.h"
#include "platform/udp_batch.h"
#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/checksum.h"
#include "transport/endpoint.h"
#include "transport/identity.h"
#include "transport/message.h"
#include "transport/protocol_texts.h"
#include "transport/protocol_words.h"
#include "transport/unit_registry.h"
#include "unit/mudp_unit.h"
#include "unit/wait_generation.h"

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

// Datagrams read per system call, and per event-loop turn before the writer
// and the feedback get theirs.
constexpr int kReadBatch = 32;
constexpr int kReadsPerTurn = 1024;

// Reads one datagram as its first 548 bytes. On Windows a datagram longer
// than the buffer fails to read (WSAEMSGSIZE) instead of being cut, so there
// a longer one is read whole and cut here.
qint64 readCut(QUdpSocket *socket, char *out, QHostAddress *sender, quint16 *port)
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

// Whether the header fields that place a packet are usable.
bool wellFormed(const NOLVUDPPACKET &p)
{
    return p.total >= 1 && p.index >= 1 && p.index <= p.total && p.len >= 0 && p.len <= wire::kPayloadSize;
}

// A true repeat is the same datagram: a different packet under a kept
// one-packet identity is a message of its own (some peers stamp two
// messages within one millisecond alike).
bool samePacket(const NOLVUDPPACKET &a, const NOLVUDPPACKET &b)
{
    return a.len == b.len && a.checksum == b.checksum && std::memcmp(a.data, b.data, sizeof a.data) == 0;
}

} // namespace

void registerUnit(MUDPUnit *unit) { unitsOfThread().append(unit); }

void MUDPUnit::freeBornSince(quint64 bornSince)
{
    for (MUDPUnit *unit : unitsOfThread()) {
        unit->graveyard.releaseBornSince(bornSince);
        unit->paths.releaseEvicted(bornSince);
    }
}

void unregisterUnit(MUDPUnit *unit) { unitsOfThread().removeOne(unit); }

void MUDPUnit::readNestedSockets()
{
    // The event loop does not deliver a socket's datagrams while one of them
    // is being handled, yet handlers wait for answers (a registration made
    // from inside a notification). Read those sockets here.
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
    EntryGuard guard(*this);
    if (closed)
        return;
    ++receiveDepth;
    // Only the first 548 bytes of a datagram count: longer ones are cut as
    // they are read, and none is asked for its size first.
    const qintptr fd = recvSocket->socketDescriptor();
    const bool batched = platform::udpBatchingAvailable() && fd >= 0;
    NOLVUDPPACKET datagrams[kReadBatch];
    int handled = 0;
    // The sender as the dispatch signal carries it, made once per source in
    // a row rather than once per datagram.
    QHostAddress sender;
    quint32 senderV4 = 0;
    while (handled < kReadsPerTurn) {
        if (!backlog.empty()) { // older than what the socket holds
            const QueuedDatagram queued = std::move(backlog.front());
            backlog.pop_front();
            receiveDatagram(reinterpret_cast<const char *>(&queued.packet), queued.size, queued.sender, queued.port);
            ++handled;
            continue;
        }
        if (batched) {
            platform::InDatagram in[kReadBatch];
            for (int i = 0; i < kReadBatch; ++i)
                in[i] = {reinterpret_cast<char *>(&datagrams[i]), int(sizeof(NOLVUDPPACKET)), 0, 0, 0};
            const int got = platform::readDatagrams(fd, in, kReadBatch);
            for (int i = 0; i < got; ++i) {
                if (in[i].address != senderV4 || sender.isNull()) {
                    senderV4 = in[i].address;
                    sender.setAddress(senderV4);
                }
                receiveDatagram(in[i].data, qMin<qint64>(in[i].size, sizeof(NOLVUDPPACKET)), sender, in[i].port);
            }
            handled += got;
            if (got == kReadBatch)
                continue;
        }
        // One read through the socket object, also when nothing waits: it
        // tells the object that what it signalled was taken, so that it
        // signals the next datagram (a signal whose datagram was already
        // read elsewhere, by a nested read or a drain, would otherwise be
        // the last one).
        if (recvSocket->state() != QAbstractSocket::BoundState)
            break;
        QHostAddress from;
        quint16 port = 0;
        const qint64 got = readCut(recvSocket, reinterpret_cast<char *>(&datagrams[0]), &from, &port);
        if (got < 0)
            break;
        receiveDatagram(reinterpret_cast<const char *>(&datagrams[0]), got, from, port);
        ++handled;
    }
    --receiveDepth;
    if (handled >= kReadsPerTurn) // more may wait: the event loop comes back for them
        QMetaObject::invokeMethod(this, "processPendingDatagrams", Qt::QueuedConnection);
    afterReading();
}

void MUDPUnit::afterReading()
{
    // Feedback owed for what was read goes now, and the answers queued and
    // the window the feedback opened are written.
    sendDueFeedback();
    if (!activePaths.isEmpty())
        writeWhatIsDue(kReadsPerTurn);
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
    EntryGuard guard(*this);
    if (!bytes || size < static_cast<qint64>(sizeof(NOLVUDPPACKET)))
        return;
    // A private, aligned copy: the handlers run nested and may read the socket.
    NOLVUDPPACKET packet;
    std::memcpy(&packet, bytes, sizeof packet);
    Q_EMIT getRecvPacket(&packet, sender, port);
}

void MUDPUnit::processPacket(NOLVUDPPACKET *packet, QHostAddress sender, unsigned short sendport)
{
    EntryGuard guard(*this);
    Message m;
    bool isV4 = false;
    m.srcAddress = sender.toIPv4Address(&isV4);
    if (isV4)
        transport::formatIPv4(m.srcAddress, m.srcIp);
    else
        text::copyText(m.srcIp, sender.toString().toLatin1().constData());
    m.srcPort = sendport;
    m.packet = packet;
    if (!readPacket(packet, m))
        return;
    bool onePacket = false;
    bool sharesIdentity = false;
    if (fileIntoRecord(m, onePacket, sharesIdentity))
        deliver(m, onePacket, sharesIdentity);
    if (receiveDepth == 0) // handed in directly, not read from the socket
        afterReading();
}

bool MUDPUnit::readPacket(NOLVUDPPACKET *packet, Message &m)
{
    if (!packet || packet->type != wire::kPacketType)
        return false;
    if (transport::payloadChecksum(packet->data, sizeof packet->data) != packet->checksum) {
        const QByteArray request =
            transport::requestText(text::fieldBytes(localName), packet->date, packet->time, packet->index);
        sendText(request, m.srcIp, m.srcPort);
        writeLog(tr("Request for Error Packet:") + QString::fromLatin1(request) +
                 fromLabel(text::fieldBytes(packet->localIp).constData()));
        return false;
    }
    if (!wellFormed(*packet))
        return false;
    m.mark = mark::read(*packet);
    if (m.mark.kind != mark::None && m.srcAddress != 0)
        noteMark(m);
    return true;
}

NOLVUDPBUFFER *MUDPUnit::fileIntoRecord(Message &m, bool &onePacket, bool &sharesIdentity)
{
    const NOLVUDPPACKET *packet = m.packet;
    NOLVUDPBUFFER *record = findRecvBuffer(m.srcIp, packet->date, packet->time, m.srcPort);
    const int slotIndex = packet->index - 1;
    // A one-packet message under the identity of a kept message is a message
    // of its own (handled and not kept) unless it is the very same datagram:
    // some peers stamp a control word sent within the same millisecond as a
    // message, or while a longer one goes out, with that message's identity.
    sharesIdentity = record && packet->total == 1 &&
                     (record->total != 1 || !hasPacket(record, 0) || !samePacket(*packetSlot(record, 0), *packet));
    if (sharesIdentity)
        record = nullptr;
    if (record) {
        if (record->total != packet->total)
            return nullptr;
        if (record->total > 1)
            noteMessageDatagram(m, record);
        if (hasPacket(record, slotIndex)) {
            handleRepeat(m, record);
            return nullptr;
        }
        // A packet that needs a new chunk beyond its source's budget is
        // dropped; the lost-packet requests ask for it again.
        const qint64 cost = claimCost(record, slotIndex);
        if (cost > 0 && !recvBudget.fits(record->ip, cost))
            return nullptr;
        NOLVUDPPACKET *slot = claimPacketSlot(record, slotIndex);
        if (!slot)
            return nullptr;
        if (cost > 0)
            recvBudget.add(record->ip, cost);
        *slot = *packet;
        ++record->count;
        record->age = 0; // a record lives while it progresses
        noteArrival(record, packet->index);
        if (slotIndex == 0)
            noteListRecord(record);
    } else {
        // A record holds what has arrived, chunk by chunk; packets that would
        // start a record beyond the budget are dropped until older ones expire.
        if (packet->total > 1 && !recvBudget.fits(m.srcIp, newBufferCost(packet->total, slotIndex)))
            return nullptr;
        record = newBuffer(packet->total);
        NOLVUDPPACKET *slot = record ? claimPacketSlot(record, slotIndex) : nullptr;
        if (!slot) {
            freeBuffer(record);
            return nullptr;
        }
        record->birth = waitgen::current();
        record->count = 1;
        record->date = packet->date;
        record->time = packet->time;
        std::memcpy(record->ip, m.srcIp, sizeof record->ip);
        record->port = m.srcPort;
        record->source = m.srcAddress;
        *slot = *packet;
        if (packet->total == 1) {
            onePacket = true;
        } else {
            recvBuffers.append(record);
            recvBudget.add(record->ip, heldBytes(record));
            noteMessageDatagram(m, record);
            noteArrival(record, packet->index);
            if (slotIndex == 0)
                noteListRecord(record);
        }
    }
    m.record = record;
    if (record->count != record->total)
        return nullptr;
    m.messageKey = messageKey(record->date, record->time, record->total);
    return record;
}

void MUDPUnit::handleRepeat(Message &m, NOLVUDPBUFFER *record)
{
    // The record stays valid across the log line (see Graveyard) even if a
    // nested tick takes it out of the table meanwhile.
    writeLog(tr("Repeated Data:") + QString::fromLatin1(m.packetKey()) + tr(" From ") +
             QString::fromLatin1(text::fieldBytes(record->ip)));
    // A repeat of a message already acknowledged means the RECEIVED was
    // lost: acknowledge again, without delivering it again; then at most
    // once a round trip (a burst of repeats, or forged ones, get one).
    const int64_t now = platform::monotonicUs();
    if (record->acknowledged && record->count == record->total) {
        if (record->lastReceiptUs == 0 || now - record->lastReceiptUs >= receiptIntervalUs(record)) {
            record->lastReceiptUs = now;
            sendReceived(record->date, record->time, record->total, m.srcIp, m.srcPort);
        }
    } else if (record->count < record->total &&
               (m.packet->index == 1 || (m.packet->index == record->total && reportsLoss(record)))) {
        noteSenderDone(record);
    }
}

void MUDPUnit::deliver(Message &m, bool onePacket, bool sharesIdentity)
{
    NOLVUDPBUFFER *record = m.record;
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
        record->numbered = m.sender != nullptr;
        if (m.sender)
            m.sender->messageUs = platform::monotonicUs();
        recvBuffers.append(record);
        recvBudget.add(record->ip, heldBytes(record));
    }
    ++record->inUse;
    dispatch(m);
    --record->inUse;
    if (onePacket && !kept) {
        retire(record);
    } else if (!onePacket) {
        // Handled: the record stays only to acknowledge repeats, so its
        // packets go back to the source's budget at once (held until expiry,
        // a few delivered messages would stall the next one from the source).
        recvBudget.release(record->ip, heldBytes(record));
        releasePackets(record);
        recvBudget.add(record->ip, heldBytes(record));
    }
}
