// Acknowledgement and loss recovery: the two timer jobs over incoming buffers
// and send records, and the REQUEST, RECEIVED and DATAFAIL handlers.
#include <algorithm>

#include "platform/clock.h"
#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/endpoint.h"
#include "transport/identity.h"
#include "transport/message.h"
#include "unit/mudp_unit.h"

namespace {
// Each DATAFAIL is a datagram; a pass sends at most this many, oldest
// records first, so a flood of records cannot stall the unit.
constexpr int kMaxDataFailsPerPass = 1024;
// Ticks without a new packet after which an incoming record goes.
constexpr int kExpiryAge = 10;
// However a message progresses, neither side keeps it longer than this: a
// record that keeps trickling, a destination that keeps asking.
constexpr int kMaxLifeTicks = 300;          // ten minutes of ticks
constexpr int64_t kMaxSendLifeMs = 600000;  // ten minutes
// Repeats of a delivered message get a RECEIVED at most once in the
// sender's round trip (this, when it gives none), and at least once a second.
constexpr int64_t kDefaultReceiptIntervalUs = 20000;
constexpr int64_t kMinReceiptIntervalUs = 1000;
constexpr int64_t kMaxReceiptIntervalUs = 1000000;
} // namespace

NOLVUDPBUFFER *MUDPUnit::findSentBuffer(int32_t date, int32_t time) const
{
    return sentBuffers.first(MessageKey(date, time));
}

NOLVUDPBUFFER *MUDPUnit::findRecvBuffer(const char *ip, int32_t date, int32_t time, unsigned short port) const
{
    return recvBuffers.first(MessageKey(date, time, ip, port));
}

SENDRECORD *MUDPUnit::findSendRecord(int32_t date, int32_t time, const char *ip, unsigned short port) const
{
    return sendRecords.first(MessageKey(date, time, ip, port));
}

void MUDPUnit::checkRecvBuffers()
{
    // A record's age counts the ticks since its last new packet: it lives
    // while it progresses, up to kMaxLifeTicks in all. Lost packets are
    // asked for between ticks (loss_recovery.cpp). A record that a dispatch
    // is still working on is left for a later tick.
    int dataFails = 0;
    for (int i = 0; i < recvBuffers.size();) {
        NOLVUDPBUFFER *record = recvBuffers.at(i);
        const QByteArray key = identityKey(record->date, record->time);
        if (record->age >= kExpiryAge || record->lifeTicks >= kMaxLifeTicks) {
            if (record->inUse > 0) {
                ++i;
                continue;
            }
            recvBuffers.takeAt(i);
            recvBudget.release(record->ip, heldBytes(record));
            writeLog(tr("Delete expired buffer:") + QString::fromLatin1(key) + fromLabel(record->ip));
            retire(record);
            continue;
        }
        if (record->age == kExpiryAge - 1 && recvBuffers.size() > 500 && dataFails < kMaxDataFailsPerPass) {
            ++dataFails;
            char ip[16];
            text::copyText(ip, record->ip);
            sendText("DATAFAIL$" + text::fieldBytes(localName) + key, ip, record->port);
            Q_EMIT udpLog(tr("Request failed:") + QString::fromLatin1(key) + fromLabel(ip));
        }
        ++record->age;
        ++record->lifeTicks;
        ++i;
    }
    rearmLossTimer(); // records held above were left out of recovery meanwhile
}

void MUDPUnit::resendRecords()
{
    // A destination's resends count only the ticks in which it neither
    // acknowledged, nor asked for anything, nor gave feedback, and none while
    // the message is still being written to it; a destination that is gone
    // still gets the six resends, the failure and the removal, a tick apart.
    const int64_t nowMs = platform::monotonicMs();
    const int64_t previousTickUs = lastTickUs;
    lastTickUs = platform::monotonicUs();
    for (int i = 0; i < sendRecords.size();) {
        SENDRECORD *record = sendRecords.at(i);
        const QString key = name(QString::asprintf("$%d$%d To %s:%d", record->date, record->time,
                                                   text::fieldBytes(record->ip).constData(), record->port)
                                     .toLatin1());
        if (record->retries <= wire::kRemoveMark) {
            endWriting(record);
            sendRecords.takeAt(i);
            retire(record);
            writeLog(tr("delete registed UDP package:") + key);
            continue;
        }
        if (record->retries >= 1 && record->retries <= wire::kInitialRetries) {
            const bool expired = nowMs - record->createdMs > kMaxSendLifeMs;
            const bool progressing = record->writing || record->heard || heardSince(record, previousTickUs);
            record->heard = false;
            if (expired) {
                endWriting(record);
                record->retries = 0;
            } else if (progressing) {
                ++i;
                continue;
            }
        }
        if (record->retries == 0) {
            record->retries = wire::kRemoveMark;
            writeLog(tr("UDP package send failed:") + key);
        } else if (record->retries >= 1 && record->retries <= wire::kInitialRetries) {
            --record->retries;
            const NOLVUDPBUFFER *buffer = findSentBuffer(record->date, record->time);
            char ip[16];
            text::copyText(ip, record->ip);
            if (buffer) {
                queueResend(buffer, 0, ip, record->port);
                writeLog(tr("repeat send UDP package:") + key);
            } else {
                writeLog(tr("can't find udp package:") + key);
            }
        }
        ++i;
    }
}

bool MUDPUnit::heardSince(const SENDRECORD *record, int64_t sinceUs) const
{
    // Feedback that proved itself and named one of this message's numbers,
    // or a later one while the message is unacknowledged.
    if (sinceUs == 0 || record->written == 0)
        return false;
    const PeerPath *path = paths.find(transport::endpointId(transport::parseIPv4(record->ip), record->port));
    return path && path->provenUs > sinceUs && path->seriesFirst == record->series &&
           int32_t(path->provenTxn - record->firstTxn) >= 0;
}

int64_t MUDPUnit::receiptIntervalUs(const NOLVUDPBUFFER *record) const
{
    const PeerPath *path = paths.find(transport::endpointId(record->source, record->port));
    const int64_t rttUs = path && path->senderRttMs ? path->senderRttMs * 1000 : kDefaultReceiptIntervalUs;
    return std::clamp(rttUs, kMinReceiptIntervalUs, kMaxReceiptIntervalUs);
}

MUDPUnit::Answer MUDPUnit::owedTo(const Message &m, int32_t date, int32_t time, int index,
                                  const NOLVUDPBUFFER *buffer, SENDRECORD *&record) const
{
    if (!buffer || index < 1 || index > buffer->total)
        return Answer::NotHeld;
    // The identity is a date and a time of day: easy to guess. Only those the
    // message went to may have its packets, and only while it is unsettled.
    if (!wasSentTo(buffer, m.srcAddress, m.srcPort))
        return Answer::NotReceiver;
    record = findSendRecord(date, time, m.srcIp, m.srcPort);
    return record && record->retries >= 0 ? Answer::Queued : Answer::NotOwed;
}

MUDPUnit::Answer MUDPUnit::answerRequest(const Message &m, int32_t date, int32_t time, int index)
{
    const NOLVUDPBUFFER *buffer = findSentBuffer(date, time);
    SENDRECORD *record = nullptr;
    const Answer owed = owedTo(m, date, time, index, buffer, record);
    if (owed != Answer::Queued)
        return owed;
    // A receiver that takes a pause of the write for a lost tail asks for
    // packets still to come: the write brings them.
    if (record->writing && index > record->written)
        return Answer::NotWrittenYet;
    noteDestinationHeard(record, false);
    PeerPath *path = sendingPath(m.srcIp, m.srcPort);
    return path && !queueAnswer(buffer, index - 1, path) ? Answer::AnsweredLately : Answer::Queued;
}

void MUDPUnit::handleRequest(Message &m)
{
    const QString packet = QString::fromLatin1(m.packetKey());
    const QString tail = packet + tr(" To ") + QString::fromLatin1(text::fieldBytes(m.record->ip));
    switch (answerRequest(m, m.fields.number(2), m.fields.number(3), m.fields.number(4))) {
    case Answer::NotHeld:
    case Answer::NotOwed:
        writeLog(tr("Can't Answer lost packet:") + tail);
        break;
    case Answer::AnsweredLately: // answered within the round trip: that answer serves it
        break;
    case Answer::NotReceiver:
        writeLog(tr("Lost packet request from a non-receiver refused:") + packet + fromSource(m));
        break;
    case Answer::NotWrittenYet:
        writeLog(tr("Request for a packet not sent yet ignored:") + tail);
        break;
    case Answer::Queued:
        writeLog(tr("Answer lost packet:") + tail);
        break;
    }
}

SENDRECORD *MUDPUnit::markSendRecordDone(const Message &m)
{
    SENDRECORD *record = findSendRecord(m.fields.number(2), m.fields.number(3), m.srcIp, m.srcPort);
    if (record) {
        record->retries = wire::kRemoveMark;
        endWriting(record);
    }
    return record;
}

void MUDPUnit::handleReceived(Message &m)
{
    // Success is what the receiver of a send says, about that send.
    if (SENDRECORD *found = findSendRecord(m.fields.number(2), m.fields.number(3), m.srcIp, m.srcPort);
        found && found->retries >= 1)
        noteDestinationHeard(found, true);
    const SENDRECORD *record = markSendRecordDone(m);
    if (!record) {
        writeLog(tr("Receipt matching no send ignored:") +
                 QString::fromLatin1(identityKey(m.fields.number(2), m.fields.number(3))) + fromSource(m));
        return;
    }
    if (const NOLVUDPBUFFER *buffer = findSentBuffer(record->date, record->time))
        writeLog(tr("Packet send success:") + QString::fromLatin1(messageKey(buffer->date, buffer->time, buffer->total)) +
                 tr(" To ") + QString::fromLatin1(text::fieldBytes(buffer->ip)));
}

void MUDPUnit::handleDataFail(Message &m)
{
    markSendRecordDone(m);
    writeLog(tr("Packet send failed because some error:") +
             QString::fromLatin1(messageKey(m.packet->date, m.packet->time, 1)) + tr(" To ") +
             QString::fromLatin1(text::fieldBytes(m.record->ip)));
}
