// Feedback between our own units. A receiver counts the numbered datagrams of
// each sender that marks its datagrams and tells it what arrived: at once
// when a datagram asks for it (the end of a burst, a sender short of window),
// after every 32, and at least every two of the sender's round trips while
// datagrams keep coming. The feedback rides in the reserved bytes of the
// datagrams that go back anyway (RECEIVED and other control words) and
// otherwise in a FEEDBACK message, whose body carries the receiver's loss
// reports. The sender feeds it to the path's rate controller and answers the
// reports from the buffers it holds.
#include <QtGlobal>
#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/clock.h"
#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/endpoint.h"
#include "transport/identity.h"
#include "transport/loss_report.h"
#include "transport/message.h"
#include "unit/mudp_unit.h"

namespace {
constexpr int kFeedbackEvery = 32;         // numbered datagrams between two feedbacks
constexpr int64_t kDefaultRttMs = 20;      // a sender that gives no round-trip hint
constexpr int64_t kMinRttMs = 2;
constexpr int kMaxResendsPerReport = 8192; // packets one report may have written again
constexpr int64_t kHelloEveryUs = 200000;  // to a sender that does not number its datagrams yet
} // namespace

int64_t MUDPUnit::feedbackDueUs(const PeerPath *path) const
{
    if (path->sinceFeedback == 0)
        return 0;
    const int64_t rttMs = std::max(path->senderRttMs ? path->senderRttMs : kDefaultRttMs, kMinRttMs);
    return path->unreportedSinceUs + 2 * rttMs * 1000;
}

void MUDPUnit::noteMark(Message &m)
{
    const int64_t now = platform::monotonicUs();
    PeerPath *path = paths.obtain(m.srcAddress, m.srcPort, now, false);
    if (!path)
        return;
    path->markSeenUs = now;
    if (m.mark.kind == mark::Feedback) {
        noteFeedback(path, m.mark, now);
        return;
    }
    if (m.mark.kind != mark::Data)
        return;
    if (m.mark.txn == 0) {
        // A sender writing a long message without numbers has not seen our
        // mark yet and keeps to the protocol's pace: an empty FEEDBACK tells
        // it that this unit takes part, so the rest goes at the path's pace.
        if (m.packet->total > 1 && (path->helloSentUs == 0 || now - path->helloSentUs >= kHelloEveryUs) &&
            !path->feedbackDue) {
            path->helloSentUs = now;
            path->feedbackDue = true;
            feedbackOwed.append(path->id);
        }
        return;
    }
    if (m.mark.flags & mark::HearsFeedback)
        path->unheardSinceUs = 0;
    if (path->received == 0 || int32_t(m.mark.txn - path->newestTxn) > 0) {
        path->newestTxn = m.mark.txn;
        path->newestAtUs = now;
    }
    ++path->received;
    path->senderRttMs = m.mark.rttHintMs;
    if (path->sinceFeedback++ == 0) {
        path->unreportedSinceUs = now;
        armLossTimer(feedbackDueUs(path) / 1000);
    }
    if (((m.mark.flags & mark::FeedbackNow) || path->sinceFeedback >= kFeedbackEvery) && !path->feedbackDue) {
        path->feedbackDue = true;
        feedbackOwed.append(path->id); // sent after the datagrams being read
    }
}

void MUDPUnit::noteFeedback(PeerPath *path, const mark::Mark &mark, int64_t nowUs)
{
    path->lastHeardUs = nowUs;
    if (!path->rate)
        return; // nothing numbered went to it
    path->rate->onFeedback(nowUs, mark.newestTxn, mark.holdUs, mark.received);
    path->silent = false;
    path->awaitingSinceUs = path->rate->inflight() > 0 ? nowUs : 0;
    if (path->active && !writerBusy)
        armWriter(nowUs);
}

void MUDPUnit::sendDueFeedback()
{
    if (feedbackOwed.isEmpty())
        return;
    const QList<quint64> owed = std::exchange(feedbackOwed, {});
    const int64_t now = platform::monotonicUs();
    for (quint64 id : owed)
        if (PeerPath *path = paths.find(id); path && path->feedbackDue)
            sendFeedback(path, now, nullptr);
}

void MUDPUnit::sendFeedback(PeerPath *path, int64_t nowUs, transport::LossReportWriter *report)
{
    transport::LossReportWriter none;
    if (!report)
        report = &none;
    char message[wire::kPayloadSize] = {};
    const QByteArray header = "FEEDBACK$" + text::fieldBytes(localName);
    std::memcpy(message, header.constData(), size_t(qMin<qsizetype>(header.size(), wire::kMessageHeaderSize - 1)));
    std::memcpy(message + wire::kMessageHeaderSize, report->data(), size_t(report->size()));
    NOLVUDPPACKET packet;
    fillProtocolPacket(packet, message, size_t(wire::kMessageHeaderSize + report->size()));
    path->feedbackDue = false;
    if (path->unheardSinceUs == 0)
        path->unheardSinceUs = nowUs;
    char ip[16];
    std::memcpy(ip, path->ip, sizeof ip);
    writeSingle(packet, ip, path->port); // the feedback mark goes in its reserved bytes
}

void MUDPUnit::handleFeedback(Message &m)
{
    // The rate feedback came in the reserved bytes (noteMark); the body
    // holds the packets the receiver misses.
    if (m.bodyLength() <= int(sizeof(transport::LossReportHead)))
        return;
    struct Reply {
        int32_t date = 0, time = 0;
        int total = 0;
        int queued = 0;
        Answer verdict = Answer::Queued;
    };
    QList<Reply> replies;
    int budget = kMaxResendsPerReport;
    PeerPath *path = sendingPath(m.srcIp, m.srcPort);
    if (!path)
        return;
    const bool wellFormed = transport::readLossReport(m.body(), m.bodyLength(), [&](int32_t date, int32_t time,
                                                                                    int first, int last) {
        if (replies.isEmpty() || replies.last().date != date || replies.last().time != time)
            replies.append(Reply{date, time, 0, 0, Answer::Queued});
        Reply &reply = replies.last();
        NOLVUDPBUFFER *buffer = findSentBuffer(date, time);
        if (!buffer || first > buffer->total) {
            reply.verdict = Answer::NotHeld;
            return;
        }
        reply.total = buffer->total;
        if (!wasSentTo(buffer, m.srcAddress, m.srcPort)) {
            reply.verdict = Answer::NotReceiver;
            return;
        }
        SENDRECORD *record = findSendRecord(date, time, m.srcIp, m.srcPort);
        if (record)
            record->heard = true;
        // Packets the write has not reached yet come with it.
        const int reached = record && record->writing ? record->written : buffer->total;
        for (int i = first; i <= std::min(last, reached) && budget > 0; ++i, --budget)
            reply.queued += queueResend(buffer, i - 1, path) ? 1 : 0;
    });
    for (const Reply &r : replies) {
        const QString key = QString::fromLatin1(messageKey(r.date, r.time, r.total));
        if (r.verdict == Answer::NotHeld)
            writeLog(tr("Can't Answer lost packets:") + key + tr(" To ") + sourceLabel(m));
        else if (r.verdict == Answer::NotReceiver)
            writeLog(tr("Lost packet request from a non-receiver refused:") + key + fromSource(m));
        else if (r.queued > 0)
            writeLog(tr("Answer lost packets:") + key + tr(" Count:") + QString::number(r.queued) + tr(" To ") +
                     sourceLabel(m));
    }
    if (!wellFormed)
        writeLog(tr("Malformed loss report dropped:") + QString::fromLatin1(m.messageKey) + fromSource(m));
}
