// Feedback between our own units. A receiver counts the numbered datagrams of
// each sender and tells it what arrived: at once when a datagram asks for it
// (the end of a burst, a sender short of window, a series no feedback has
// named yet), after every 32, and at least every two of the sender's round
// trips while datagrams of a message keep coming. The feedback rides in the
// reserved bytes of the datagrams that go back anyway (RECEIVED and other
// control words) and otherwise in a FEEDBACK message, whose body carries the
// receiver's loss reports; FEEDBACK goes only to a sender whose datagrams of
// a message came numbered. The sender takes feedback only when the number it
// names is one it wrote there lately (peer_path.h): then it feeds the path's
// rate controller and answers the reports from the buffers it holds.
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
} // namespace

int64_t MUDPUnit::feedbackDueUs(const PeerPath *path) const
{
    if (path->sinceFeedback == 0 || !path->owedForMessage)
        return 0;
    const int64_t rttMs = std::max(path->senderRttMs ? path->senderRttMs : kDefaultRttMs, kMinRttMs);
    return path->unreportedSinceUs + 2 * rttMs * 1000;
}

void MUDPUnit::noteMark(Message &m)
{
    const int64_t now = platform::monotonicUs();
    if (m.mark.kind == mark::Feedback) {
        PeerPath *path = paths.find(transport::endpointId(m.srcAddress, m.srcPort));
        m.markProven = path && noteFeedback(path, m.mark, now);
        if (!m.markProven)
            noteUnprovenFeedback(m, now);
        return;
    }
    if (m.mark.kind != mark::Data || m.mark.txn == 0)
        return;
    PeerPath *path = obtainPath(m.srcAddress, m.srcPort, now, false);
    if (!path)
        return; // the table is full of paths in use: this sender gets REQUESTs
    m.sender = path;
    const bool fresh = path->noteNumbered(m.mark, now);
    if (path->sinceFeedback++ == 0)
        path->unreportedSinceUs = now;
    const bool askNow = fresh || (m.mark.flags & mark::FeedbackNow) || path->sinceFeedback >= kFeedbackEvery;
    if (askNow && !path->feedbackDue) {
        path->feedbackDue = true;
        feedbackOwed.append(path->id); // sent after the datagrams being read
    }
}

void MUDPUnit::noteMessageDatagram(Message &m, NOLVUDPBUFFER *record)
{
    // A datagram of a message of several: its sender's datagrams of it came
    // numbered (or not), and a numbered one earns FEEDBACK and keeps the
    // path from strangers.
    record->numbered = m.sender != nullptr;
    if (!m.sender)
        return;
    m.sender->owedForMessage = true;
    m.sender->messageUs = platform::monotonicUs();
    armLossTimer(feedbackDueUs(m.sender) / 1000);
}

bool MUDPUnit::noteFeedback(PeerPath *path, const mark::Mark &mark, int64_t nowUs)
{
    if (!path->proves(mark.newestTxn))
        return false;
    path->noteProof(mark.newestTxn, nowUs);
    if (path->rate) {
        path->rate->onFeedback(nowUs, mark.newestTxn, mark.holdUs, mark.received);
        path->awaitingSinceUs = path->rate->inflight() > 0 ? nowUs : 0;
    }
    if (path->active && !writerBusy)
        armWriter(nowUs);
    return true;
}

void MUDPUnit::noteUnprovenFeedback(const Message &m, int64_t nowUs)
{
    int count = 0;
    if (logThrottle.allow(transport::endpointId(m.srcAddress, m.srcPort), nowUs, &count))
        writeLog(tr("Feedback naming nothing sent there dropped:") + QString::number(count) + fromSource(m));
}

void MUDPUnit::sendDueFeedback()
{
    if (feedbackOwed.isEmpty())
        return;
    const QList<quint64> owed = std::exchange(feedbackOwed, {});
    const int64_t now = platform::monotonicUs();
    for (quint64 id : owed) {
        PeerPath *path = paths.find(id);
        if (!path || !path->feedbackDue)
            continue;
        if (path->owedForMessage)
            sendFeedback(path, now, nullptr);
        else
            path->feedbackDue = false; // it rides on the next control word to it
    }
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
    markFeedback(path, packet, nowUs);
    writeSingleNow(packet, path->address, path->ip, path->port);
}

void MUDPUnit::handleFeedback(Message &m)
{
    // The rate feedback came in the reserved bytes (noteMark) and proved the
    // path; the body holds the packets the receiver misses.
    PeerPath *path = paths.find(transport::endpointId(m.srcAddress, m.srcPort));
    if (!m.markProven || !path || m.bodyLength() <= int(sizeof(transport::LossReportHead)))
        return;
    struct Reply {
        int32_t date = 0, time = 0;
        int total = 0;
        int queued = 0;
        Answer verdict = Answer::Queued;
    };
    QList<Reply> replies;
    int budget = kMaxResendsPerReport;
    const bool wellFormed = transport::readLossReport(m.body(), m.bodyLength(), [&](int32_t date, int32_t time,
                                                                                    int first, int last) {
        if (replies.isEmpty() || replies.last().date != date || replies.last().time != time)
            replies.append(Reply{date, time, 0, 0, Answer::Queued});
        Reply &reply = replies.last();
        const NOLVUDPBUFFER *buffer = findSentBuffer(date, time);
        SENDRECORD *record = nullptr;
        reply.verdict = owedTo(m, date, time, first, buffer, record);
        if (reply.verdict != Answer::Queued)
            return;
        reply.total = buffer->total;
        record->heard = true;
        // Packets the write has not reached yet come with it.
        const int reached = record->writing ? record->written : buffer->total;
        for (int i = first; i <= std::min(last, reached) && budget > 0; ++i, --budget)
            reply.queued += queueAnswer(buffer, i - 1, path) ? 1 : 0;
    });
    for (const Reply &r : replies) {
        const QString key = QString::fromLatin1(messageKey(r.date, r.time, r.total));
        if (r.verdict == Answer::NotHeld)
            writeLog(tr("Can't Answer lost packets:") + key + tr(" To ") + sourceLabel(m));
        else if (r.verdict == Answer::NotReceiver)
            writeLog(tr("Lost packet request from a non-receiver refused:") + key + fromSource(m));
        else if (r.verdict == Answer::NotOwed)
            writeLog(tr("Lost packets of a settled message not sent again:") + key + fromSource(m));
        else if (r.queued > 0)
            writeLog(tr("Answer lost packets:") + key + tr(" Count:") + QString::number(r.queued) + tr(" To ") +
                     sourceLabel(m));
    }
    if (!wellFormed)
        writeLog(tr("Malformed loss report dropped:") + QString::fromLatin1(m.messageKey) + fromSource(m));
}
