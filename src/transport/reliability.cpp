// Acknowledgement and loss recovery: the two timer jobs over incoming buffers
// and send records, and the REQUEST, RECEIVED and DATAFAIL handlers.
#include "platform/clock.h"
#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/send_target.h"
#include "transport/identity.h"
#include "transport/message.h"
#include "unit/mudp_unit.h"

namespace {
// Each DATAFAIL is paced by a wait of about 2 ms; a pass sends at most this
// many, oldest records first, so a flood of records cannot stall the unit.
constexpr int kMaxDataFailsPerPass = 1024;
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
    // Lost packets are asked for between ticks (loss_recovery.cpp). Sends
    // below process events: nested dispatch may append records, and a record
    // that a dispatch is still working on is left for a later tick.
    int dataFails = 0;
    for (int i = 0; i < recvBuffers.size();) {
        NOLVUDPBUFFER *record = recvBuffers.at(i);
        const QByteArray key = identityKey(record->date, record->time);
        const QString from = tr(" From:") + QString::fromLatin1(text::fieldBytes(record->ip));
        if (record->age >= 10) {
            if (record->inUse > 0) {
                ++i;
                continue;
            }
            recvBuffers.takeAt(i);
            recvBudget.release(record->ip, heldBytes(record));
            writeLog(tr("Delete expired buffer:") + QString::fromLatin1(key) + from);
            freeBuffer(record);
            continue;
        }
        ++record->inUse;
        if (record->age == 9) {
            if (recvBuffers.size() > 500 && dataFails < kMaxDataFailsPerPass) {
                ++dataFails;
                char ip[16];
                text::copyText(ip, record->ip);
                sendText("DATAFAIL$" + text::fieldBytes(localName) + key, ip, record->port);
                Q_EMIT udpLog(tr("Request failed:") + QString::fromLatin1(key) + from);
                waitWithEvents(1);
            }
        }
        --record->inUse;
        ++record->age;
        ++i;
    }
    rearmLossTimer(); // records held above were left out of recovery meanwhile
}

void MUDPUnit::resendRecords()
{
    for (int i = 0; i < sendRecords.size();) {
        SENDRECORD *record = sendRecords.at(i);
        const QString key = name(QString::asprintf("$%d$%d To %s:%d", record->date, record->time,
                                                   text::fieldBytes(record->ip).constData(), record->port)
                                     .toLatin1());
        if (record->retries <= wire::kRemoveMark) {
            sendRecords.takeAt(i);
            delete record;
            writeLog(tr("delete registed UDP package:") + key);
            continue;
        }
        if (record->retries == 0) {
            record->retries = wire::kRemoveMark;
            writeLog(tr("UDP package send failed:") + key);
        } else if (record->retries >= 1 && record->retries <= wire::kInitialRetries) {
            NOLVUDPBUFFER *buffer = findSentBuffer(record->date, record->time);
            if (buffer && buffer->inUse > 0) {
                // A tick inside the send's own waits: the message is still
                // being written, so its first packet cannot be overdue yet.
                ++i;
                continue;
            }
            // The resend waits, and a RECEIVED handled meanwhile may mark the
            // record; any value at or below the mark still removes it.
            --record->retries;
            char ip[16];
            text::copyText(ip, record->ip);
            const unsigned short port = record->port;
            if (buffer) {
                returnRequestedPacket(packetSlot(buffer, 0), ip, port);
                writeLog(tr("repeat send UDP package:") + key);
            } else {
                writeLog(tr("can't find udp package:") + key);
            }
        }
        ++i;
    }
}

void MUDPUnit::handleRequest(Message &m)
{
    const int index = m.fields.number(4);
    NOLVUDPBUFFER *buffer = findSentBuffer(m.fields.number(2), m.fields.number(3));
    const QString tail = QString::fromLatin1(m.packetKey) + tr(" To ") + QString::fromLatin1(text::fieldBytes(m.record->ip));
    if (!buffer || index < 1 || index > buffer->total) {
        writeLog(tr("Can't Answer lost packet:") + tail);
        return;
    }
    // The identity is a date and a time of day: easy to guess. Only those the
    // message went to may have its packets.
    if (!wasSentTo(buffer, m.srcIp, m.srcPort)) {
        writeLog(tr("Lost packet request from a non-receiver refused:") + QString::fromLatin1(m.packetKey) +
                 tr(" From:") + sourceLabel(m));
        return;
    }
    // A receiver that takes the pauses of a long write for a lost tail asks
    // for packets still to come: the write brings them, and answering too
    // would double the traffic of a list to a thousand clients.
    if (buffer->writing && index > buffer->writtenToAll) {
        writeLog(tr("Request for a packet not sent yet ignored:") + tail);
        return;
    }
    // Answers wait a round only after fifteen to one receiver within it: a
    // server answering a thousand clients in turn would otherwise sleep a
    // round per answer, with its socket unread below the deepest nesting.
    const SendTarget to(m.srcIp, m.srcPort);
    writePacket(packetSlot(buffer, index - 1), to);
    writeLog(tr("Answer lost packet:") + tail);
    if (SENDRECORD *record = findSendRecord(buffer->date, buffer->time, m.srcIp, m.srcPort))
        noteDestinationHeard(record, false);
    paceSingleDatagram(to);
}

SENDRECORD *MUDPUnit::markSendRecordDone(const Message &m)
{
    SENDRECORD *record = findSendRecord(m.fields.number(2), m.fields.number(3), m.srcIp, m.srcPort);
    if (record)
        record->retries = wire::kRemoveMark;
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
                 QString::fromLatin1(identityKey(m.fields.number(2), m.fields.number(3))) + tr(" From:") +
                 sourceLabel(m));
        return;
    }
    if (NOLVUDPBUFFER *buffer = findSentBuffer(record->date, record->time))
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
