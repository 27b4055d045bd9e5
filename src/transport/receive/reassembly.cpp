#include "transport/receive/reassembly.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "core/host_bridge.h"
#include "core/wait_generation.h"
#include "platform/clock.h"
#include "text/fixed_text.h"
#include "transport/checksum.h"
#include "transport/dispatcher.h"
#include "transport/endpoint.h"
#include "transport/local_identity.h"
#include "transport/message.h"
#include "transport/path/path_table.h"
#include "transport/protocol_texts.h"
#include "transport/receive/feedback_giver.h"
#include "transport/receive/incoming_records.h"
#include "transport/receive/loss_recovery.h"
#include "transport/send/control_sender.h"
#include "transport/send/send_replies.h"

namespace {
// Repeats of a delivered message get a RECEIVED at most once in the
// sender's round trip (this, when it gives none), and at least once a second.
constexpr int64_t kDefaultReceiptIntervalUs = 20000;
constexpr int64_t kMinReceiptIntervalUs = 1000;
constexpr int64_t kMaxReceiptIntervalUs = 1000000;

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

void Reassembly::process(NOLVUDPPACKET *packet, const QHostAddress &sender, unsigned short port)
{
    Message m;
    bool isV4 = false;
    m.srcAddress = sender.toIPv4Address(&isV4);
    if (isV4)
        transport::formatIPv4(m.srcAddress, m.srcIp);
    else
        text::copyText(m.srcIp, sender.toString().toLatin1().constData());
    m.srcPort = port;
    m.packet = packet;
    if (!readPacket(packet, m))
        return;
    bool onePacket = false;
    bool sharesIdentity = false;
    if (fileIntoRecord(m, onePacket, sharesIdentity))
        deliver(m, onePacket, sharesIdentity);
}

bool Reassembly::readPacket(NOLVUDPPACKET *packet, Message &m)
{
    if (!packet || packet->type != wire::kPacketType)
        return false;
    if (transport::payloadChecksum(packet->data, sizeof packet->data) != packet->checksum) {
        const QByteArray request =
            transport::requestText(p.self.nameBytes(), packet->date, packet->time, packet->index);
        p.controls.sendText(request, m.srcIp, m.srcPort);
        p.host.writeLog(tr("Request for Error Packet:") + QString::fromLatin1(request) +
                        fromLabel(text::fieldBytes(packet->localIp).constData()));
        return false;
    }
    if (!wellFormed(*packet))
        return false;
    m.mark = mark::read(*packet);
    if (m.mark.kind == mark::None || m.srcAddress == 0)
        return true;
    const int64_t now = platform::monotonicUs();
    if (m.mark.kind == mark::Feedback)
        p.replies.noteFeedbackMark(m, now);
    else if (m.mark.kind == mark::Data && m.mark.txn != 0)
        p.feedback.noteDataMark(m, now);
    return true;
}

NOLVUDPBUFFER *Reassembly::fileIntoRecord(Message &m, bool &onePacket, bool &sharesIdentity)
{
    const NOLVUDPPACKET *packet = m.packet;
    NOLVUDPBUFFER *record = p.records.find(m.srcIp, packet->date, packet->time, m.srcPort);
    // A one-packet message under the identity of a kept message is a message
    // of its own (handled and not kept) unless it is the very same datagram:
    // some peers stamp a control word sent within the same millisecond as a
    // message, or while a longer one goes out, with that message's identity.
    sharesIdentity = record && packet->total == 1 &&
                     (record->total != 1 || !hasPacket(record, 0) || !samePacket(*packetSlot(record, 0), *packet));
    if (sharesIdentity)
        record = nullptr;
    if (record ? !fileIntoExisting(m, record) : !(record = fileIntoNew(m, onePacket)))
        return nullptr;
    m.record = record;
    if (record->count != record->total)
        return nullptr;
    m.messageKey = messageKey(record->date, record->time, record->total);
    return record;
}

bool Reassembly::fileIntoExisting(Message &m, NOLVUDPBUFFER *record)
{
    const NOLVUDPPACKET *packet = m.packet;
    const int slotIndex = packet->index - 1;
    if (record->total != packet->total)
        return false;
    if (record->total > 1)
        p.feedback.noteMessageDatagram(m, record);
    if (hasPacket(record, slotIndex)) {
        handleRepeat(m, record);
        return false;
    }
    // A packet that needs a new chunk beyond its source's budget is
    // dropped; the lost-packet requests ask for it again.
    const qint64 cost = claimCost(record, slotIndex);
    if (cost > 0 && !p.records.budget().fits(record->ip, cost))
        return false;
    NOLVUDPPACKET *slot = claimPacketSlot(record, slotIndex);
    if (!slot)
        return false;
    if (cost > 0)
        p.records.budget().add(record->ip, cost);
    *slot = *packet;
    ++record->count;
    record->age = 0; // a record lives while it progresses
    noteFiled(m, record, packet->index);
    return true;
}

NOLVUDPBUFFER *Reassembly::fileIntoNew(Message &m, bool &onePacket)
{
    // A record holds what has arrived, chunk by chunk; packets that would
    // start a record beyond the budget are dropped until older ones expire.
    const NOLVUDPPACKET *packet = m.packet;
    const int slotIndex = packet->index - 1;
    if (packet->total > 1 && !p.records.budget().fits(m.srcIp, newBufferCost(packet->total, slotIndex)))
        return nullptr;
    NOLVUDPBUFFER *record = newBuffer(packet->total);
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
        return record;
    }
    p.records.append(record);
    p.records.budget().add(record->ip, heldBytes(record));
    p.feedback.noteMessageDatagram(m, record);
    noteFiled(m, record, packet->index);
    return record;
}

void Reassembly::noteFiled(Message &m, NOLVUDPBUFFER *record, int index)
{
    p.recovery.noteArrival(record, index, m.sender ? m.mark.txn : 0);
    if (index == 1 && firstPacketFiled)
        firstPacketFiled(record);
}

void Reassembly::handleRepeat(Message &m, NOLVUDPBUFFER *record)
{
    // The record stays valid across the log line (see Graveyard) even if a
    // nested tick takes it out of the table meanwhile.
    p.host.writeLog(tr("Repeated Data:") + QString::fromLatin1(m.packetKey()) + tr(" From ") +
                    QString::fromLatin1(text::fieldBytes(record->ip)));
    // A repeat of a message already acknowledged means the RECEIVED was
    // lost: acknowledge again, without delivering it again; then at most
    // once a round trip (a burst of repeats, or forged ones, get one).
    const int64_t now = platform::monotonicUs();
    if (m.sender)
        p.recovery.noteDuplicate(record, m.packet->index);
    if (record->acknowledged && record->count == record->total) {
        if (record->lastReceiptUs == 0 || now - record->lastReceiptUs >= receiptIntervalUs(record)) {
            record->lastReceiptUs = now;
            sendReceived(record->date, record->time, record->total, m.srcIp, m.srcPort);
        }
    } else if (record->count < record->total &&
               (m.packet->index == 1 || (m.packet->index == record->total && record->numbered))) {
        p.recovery.noteSenderDone(record);
    }
}

int64_t Reassembly::receiptIntervalUs(const NOLVUDPBUFFER *record) const
{
    const PeerPath *path = p.paths.find(record->source, record->port);
    const int64_t rttUs = path && path->receiving.senderRttMs ? path->receiving.senderRttMs * 1000
                                                              : kDefaultReceiptIntervalUs;
    return std::clamp(rttUs, kMinReceiptIntervalUs, kMaxReceiptIntervalUs);
}

bool Reassembly::keep(Message &m, NOLVUDPBUFFER *record)
{
    // A one-packet message of a buffered word is kept to recognise repeats.
    if (!p.records.budget().fits(record->ip, heldBytes(record)))
        return false;
    record->numbered = m.sender != nullptr;
    if (m.sender)
        m.sender->messageUs = platform::monotonicUs();
    p.records.append(record);
    p.records.budget().add(record->ip, heldBytes(record));
    return true;
}

void Reassembly::deliver(Message &m, bool onePacket, bool sharesIdentity)
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
    if (onePacket && kept && !keep(m, record)) {
        freeBuffer(record);
        return;
    }
    ++record->inUse;
    p.dispatcher.dispatch(m);
    --record->inUse;
    if (onePacket && !kept) {
        retire(p.life, record);
    } else if (!onePacket) {
        // Handled: the record stays only to acknowledge repeats, so its
        // packets go back to the source's budget at once (held until expiry,
        // a few delivered messages would stall the next one from the source).
        p.records.budget().release(record->ip, heldBytes(record));
        releasePackets(record);
        p.records.budget().add(record->ip, heldBytes(record));
    }
}

void Reassembly::sendReceived(int32_t date, int32_t time, int total, const char *ip, unsigned short port)
{
    p.controls.sendText(transport::receivedText(p.self.nameBytes(), date, time, total), ip, port);
}

void Reassembly::acknowledge(Message &m)
{
    m.record->acknowledged = true;
    sendReceived(m.record->date, m.record->time, m.record->total, m.srcIp, m.srcPort);
}

void Reassembly::handleData(Message &m)
{
    char *payload = const_cast<char *>(m.body());
    const int size = m.bodyLength();
    p.host.dataArrived(payload, size);
    acknowledge(m);
    p.host.writeLog(tr("Packet Received:") + QString::fromLatin1(m.messageKey) + fromLabel(m.record->ip));
}
