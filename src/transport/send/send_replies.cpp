#include "transport/send/send_replies.h"

#include <algorithm>

#include "core/host_bridge.h"
#include "text/fixed_text.h"
#include "transport/endpoint.h"
#include "transport/loss_report.h"
#include "transport/message.h"
#include "transport/path/path_table.h"
#include "transport/send/outgoing_messages.h"
#include "transport/send/writer.h"

namespace {
constexpr int kMaxResendsPerReport = 8192; // packets one report may have written again
using Answer = SendRecords::Answer;
} // namespace

void SendReplies::noteFeedbackMark(Message &m, int64_t nowUs)
{
    PeerPath *path = paths.find(m.srcAddress, m.srcPort);
    m.markProven = path && takeFeedback(path, m.mark, nowUs);
    int count = 0;
    if (!m.markProven && logThrottle.allow(transport::endpointId(m.srcAddress, m.srcPort), nowUs, &count))
        host.writeLog(tr("Feedback naming nothing sent there dropped:") + QString::number(count) + fromSource(m));
}

bool SendReplies::takeFeedback(PeerPath *path, const mark::Mark &mark, int64_t nowUs)
{
    SendingPath &s = path->sending;
    if (!s.proves(mark.newestTxn))
        return false;
    s.noteProof(mark.newestTxn, nowUs);
    if (s.rate) {
        s.rate->onFeedback(nowUs, mark.newestTxn, mark.holdUs, mark.received);
        s.awaitingSinceUs = s.rate->inflight() > 0 ? nowUs : 0;
    }
    writer.wake(path, nowUs);
    return true;
}

SendRecords::Answer SendReplies::answerRequest(const Message &m, int32_t date, int32_t time, int index)
{
    const NOLVUDPBUFFER *buffer = outgoing.find(date, time);
    SENDRECORD *record = nullptr;
    const Answer owed = records.owedTo(m.srcAddress, m.srcIp, m.srcPort, date, time, index, buffer, record);
    if (owed != Answer::Queued)
        return owed;
    // A receiver that takes a pause of the write for a lost tail asks for
    // packets still to come: the write brings them.
    if (record->writing && index > record->written)
        return Answer::NotWrittenYet;
    records.noteHeard(record, false);
    PeerPath *path = paths.sendingPath(m.srcIp, m.srcPort);
    return path && !writer.queueAnswer(buffer, index - 1, path) ? Answer::AnsweredLately : Answer::Queued;
}

void SendReplies::handleRequest(Message &m)
{
    const QString packet = QString::fromLatin1(m.packetKey());
    const QString tail = packet + tr(" To ") + QString::fromLatin1(text::fieldBytes(m.record->ip));
    switch (answerRequest(m, m.fields.number(2), m.fields.number(3), m.fields.number(4))) {
    case Answer::NotHeld:
    case Answer::NotOwed:
        host.writeLog(tr("Can't Answer lost packet:") + tail);
        break;
    case Answer::AnsweredLately: // answered within the round trip: that answer serves it
        break;
    case Answer::NotReceiver:
        host.writeLog(tr("Lost packet request from a non-receiver refused:") + packet + fromSource(m));
        break;
    case Answer::NotWrittenYet:
        host.writeLog(tr("Request for a packet not sent yet ignored:") + tail);
        break;
    case Answer::Queued:
        host.writeLog(tr("Answer lost packet:") + tail);
        break;
    }
}

void SendReplies::handleReceived(Message &m)
{
    // Success is what the receiver of a send says, about that send.
    const int32_t date = m.fields.number(2), time = m.fields.number(3);
    if (SENDRECORD *found = records.find(date, time, m.srcIp, m.srcPort); found && found->retries >= 1)
        records.noteHeard(found, true);
    const SENDRECORD *record = records.markDone(date, time, m.srcIp, m.srcPort);
    if (!record) {
        host.writeLog(tr("Receipt matching no send ignored:") + QString::fromLatin1(identityKey(date, time)) +
                      fromSource(m));
        return;
    }
    if (const NOLVUDPBUFFER *buffer = outgoing.find(record->date, record->time))
        host.writeLog(tr("Packet send success:") +
                      QString::fromLatin1(messageKey(buffer->date, buffer->time, buffer->total)) + tr(" To ") +
                      QString::fromLatin1(text::fieldBytes(buffer->ip)));
}

void SendReplies::handleDataFail(Message &m)
{
    records.markDone(m.fields.number(2), m.fields.number(3), m.srcIp, m.srcPort);
    host.writeLog(tr("Packet send failed because some error:") +
                  QString::fromLatin1(messageKey(m.packet->date, m.packet->time, 1)) + tr(" To ") +
                  QString::fromLatin1(text::fieldBytes(m.record->ip)));
}

void SendReplies::handleFeedback(Message &m)
{
    // The rate feedback came in the reserved bytes (noteFeedbackMark) and
    // proved the path; the body holds the packets the receiver misses.
    PeerPath *path = paths.find(m.srcAddress, m.srcPort);
    if (!m.markProven || !path || m.bodyLength() <= int(sizeof(transport::LossReportHead)))
        return;
    QList<Reply> replies;
    int budget = kMaxResendsPerReport;
    const bool wellFormed =
        transport::readLossReport(m.body(), m.bodyLength(), [&](int32_t date, int32_t time, int first, int last) {
            if (replies.isEmpty() || replies.last().date != date || replies.last().time != time)
                replies.append(Reply{date, time, 0, 0, Answer::Queued});
            Reply &reply = replies.last();
            const NOLVUDPBUFFER *buffer = outgoing.find(date, time);
            SENDRECORD *record = nullptr;
            reply.verdict = records.owedTo(m.srcAddress, m.srcIp, m.srcPort, date, time, first, buffer, record);
            if (reply.verdict != Answer::Queued)
                return;
            reply.total = buffer->total;
            record->heard = true;
            // Packets the write has not reached yet come with it.
            const int reached = record->writing ? record->written : buffer->total;
            for (int i = first; i <= std::min(last, reached) && budget > 0; ++i, --budget)
                reply.queued += writer.queueAnswer(buffer, i - 1, path) ? 1 : 0;
        });
    logReplies(m, replies);
    if (!wellFormed)
        host.writeLog(tr("Malformed loss report dropped:") + QString::fromLatin1(m.messageKey) + fromSource(m));
}

void SendReplies::logReplies(const Message &m, const QList<Reply> &replies)
{
    for (const Reply &r : replies) {
        const QString key = QString::fromLatin1(messageKey(r.date, r.time, r.total));
        if (r.verdict == Answer::NotHeld)
            host.writeLog(tr("Can't Answer lost packets:") + key + tr(" To ") + sourceLabel(m));
        else if (r.verdict == Answer::NotReceiver)
            host.writeLog(tr("Lost packet request from a non-receiver refused:") + key + fromSource(m));
        else if (r.verdict == Answer::NotOwed)
            host.writeLog(tr("Lost packets of a settled message not sent again:") + key + fromSource(m));
        else if (r.queued > 0)
            host.writeLog(tr("Answer lost packets:") + key + tr(" Count:") + QString::number(r.queued) + tr(" To ") +
                          sourceLabel(m));
    }
}
