#include "transport/receive/feedback_giver.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "core/alarm.h"
#include "platform/clock.h"
#include "transport/local_identity.h"
#include "transport/loss_report.h"
#include "transport/message.h"
#include "transport/path/path_table.h"
#include "transport/send/control_sender.h"

namespace {
constexpr int kFeedbackEvery = 32;    // numbered datagrams between two feedbacks
constexpr int64_t kDefaultRttMs = 20; // a sender that gives no round-trip hint
constexpr int64_t kMinRttMs = 2;
} // namespace

int64_t FeedbackGiver::dueUs(const PeerPath *path)
{
    const ReceivingPath &r = path->receiving;
    if (r.sinceFeedback == 0 || !r.owedForMessage)
        return 0;
    const int64_t rttMs = std::max(r.senderRttOr(kDefaultRttMs), kMinRttMs);
    return r.unreportedSinceUs + 2 * rttMs * 1000;
}

void FeedbackGiver::owe(PeerPath *path)
{
    path->receiving.feedbackDue = true;
    owed.append(path->id); // sent after the datagrams being read
}

void FeedbackGiver::noteDataMark(Message &m, int64_t nowUs)
{
    PeerPath *path = paths.obtain(m.srcAddress, m.srcPort, nowUs, false);
    if (!path)
        return; // the table is full of paths in use: this sender gets REQUESTs
    m.sender = path;
    ReceivingPath &r = path->receiving;
    const bool fresh = r.noteNumbered(m.mark, nowUs);
    if (r.sinceFeedback++ == 0)
        r.unreportedSinceUs = nowUs;
    const bool askNow = fresh || (m.mark.flags & mark::FeedbackNow) || r.sinceFeedback >= kFeedbackEvery;
    if (askNow && !r.feedbackDue)
        owe(path);
}

void FeedbackGiver::noteMessageDatagram(Message &m, NOLVUDPBUFFER *record)
{
    // A numbered one earns FEEDBACK and keeps the path from strangers.
    record->numbered = m.sender != nullptr;
    if (!m.sender)
        return;
    m.sender->receiving.owedForMessage = true;
    m.sender->messageUs = platform::monotonicUs();
    alarm.arm(dueUs(m.sender) / 1000);
}

void FeedbackGiver::sendDue()
{
    if (owed.isEmpty())
        return;
    const QList<quint64> due = std::exchange(owed, {});
    const int64_t now = platform::monotonicUs();
    for (quint64 id : due) {
        PeerPath *path = paths.find(id);
        if (!path || !path->receiving.feedbackDue)
            continue;
        if (path->receiving.owedForMessage)
            send(path, now, nullptr);
        else
            path->receiving.feedbackDue = false; // it rides on the next control word to it
    }
}

void FeedbackGiver::markTimeDue(int64_t nowUs)
{
    paths.forEach([&](PeerPath *path) {
        const int64_t at = dueUs(path);
        if (at != 0 && nowUs >= at && !path->receiving.feedbackDue)
            owe(path);
    });
}

int64_t FeedbackGiver::nextDueMs() const
{
    int64_t next = 0;
    paths.forEach([&](const PeerPath *path) {
        if (const int64_t due = dueUs(path) / 1000; due != 0 && (next == 0 || due < next))
            next = due;
    });
    return next;
}

void FeedbackGiver::send(PeerPath *path, int64_t nowUs, transport::LossReportWriter *report)
{
    transport::LossReportWriter none;
    if (!report)
        report = &none;
    char message[wire::kPayloadSize] = {};
    const QByteArray header = "FEEDBACK$" + self.nameBytes();
    std::memcpy(message, header.constData(), size_t(qMin<qsizetype>(header.size(), wire::kMessageHeaderSize - 1)));
    std::memcpy(message + wire::kMessageHeaderSize, report->data(), size_t(report->size()));
    NOLVUDPPACKET packet;
    self.fillProtocolPacket(packet, message, size_t(wire::kMessageHeaderSize + report->size()));
    path->receiving.feedbackDue = false;
    if (path->receiving.unheardSinceUs == 0)
        path->receiving.unheardSinceUs = nowUs;
    controls.writeWithFeedback(path, packet, nowUs);
}
