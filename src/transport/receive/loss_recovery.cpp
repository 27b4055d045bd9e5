#include "transport/receive/loss_recovery.h"

#include <QHash>
#include <algorithm>

#include "core/alarm.h"
#include "core/host_bridge.h"
#include "core/labels.h"
#include "platform/clock.h"
#include "text/fixed_text.h"
#include "transport/endpoint.h"
#include "transport/local_identity.h"
#include "transport/loss_report.h"
#include "transport/path/path_table.h"
#include "transport/receive/feedback_giver.h"
#include "transport/receive/incoming_records.h"
#include "transport/receive/loss_timing.h"
#include "transport/send/control_sender.h"

namespace {
// Requests of one pass over all records, and of one source within it: the
// sources take turns, so records that one source keeps in front cannot
// starve the others.
constexpr int kMaxRequestsPerPass = 1024;
constexpr int kMaxRequestsPerSource = 256;
// FEEDBACK datagrams one source gets a pass.
constexpr int kMaxReportsPerSource = 4;
// Each DATAFAIL is a datagram; a pass sends at most this many, oldest
// records first, so a flood of records cannot stall the unit.
constexpr int kMaxDataFailsPerPass = 1024;
// Ticks without a new packet after which an incoming record goes.
constexpr int kExpiryAge = 10;
// However a message progresses, neither side keeps it longer than this.
constexpr int kMaxLifeTicks = 300; // ten minutes of ticks
} // namespace

struct LossRecovery::PassState {
    QHash<quint64, transport::LossReportWriter> reports;
    QHash<quint64, int> reportsSent;
};

LossRecovery::LossRecovery(IncomingRecords &records, PathTable &paths, LossAsker asker, FeedbackGiver &feedback,
                           ControlSender &controls, Alarm &alarm, LocalIdentity &self, HostBridge &host,
                           Lifetime &life)
    : records(records), paths(paths), asker(asker), feedback(feedback), controls(controls), alarm(alarm), self(self),
      host(host), life(life)
{
}

bool LossRecovery::reportsLoss(const NOLVUDPBUFFER *record) const
{
    // Ranges go only to the sender of a message whose datagrams came
    // numbered (another peer may have the address one of our units had). A
    // sender whose datagrams say it hears no feedback from us gets its
    // losses asked for with a REQUEST per packet, which every sender
    // understands (something on the way drops FEEDBACK).
    const PeerPath *path = paths.find(record->source, record->port);
    return record->numbered && path && path->receiving.numbersItsDatagrams(platform::monotonicUs()) &&
           !path->receiving.feedbackUnheard(platform::monotonicUs());
}

void LossRecovery::noteReordering(NOLVUDPBUFFER *record, int index, uint32_t txn)
{
    // A reported gap filled by a datagram written before the report was (one
    // older than the newest received then) came late, not lost: the path's
    // reordering window widens. One filled by a resend was lost.
    PeerPath *path = paths.find(record->source, record->port);
    ReceivingPath &r = path->receiving;
    const int64_t nowUs = platform::monotonicUs();
    if (index - 1 < record->reportedUpTo && record->lastReportUs != 0 && txn != 0) {
        if (int32_t(txn - record->reportedTxn) <= 0)
            r.noteLate(nowUs);
        else
            r.noteTrulyLost();
    }
    loss::settleGaps(record, nowUs, r.reorderWindowUs());
}

void LossRecovery::noteDuplicate(const NOLVUDPBUFFER *record, int index)
{
    // A packet again, but the first or the last (a sender's probe): a resend
    // that was not needed.
    if (index != 1 && index != record->total && reportsLoss(record))
        paths.find(record->source, record->port)->receiving.noteLate(platform::monotonicUs());
}

void LossRecovery::noteArrival(NOLVUDPBUFFER *record, int index, uint32_t txn)
{
    const int64_t now = platform::monotonicMs();
    // The first packet after one request round answers it: a clean sample
    // of the answer delay.
    if (record->quietRounds == 1 && record->lastRoundMs > 0)
        answerDelayMs = loss::smooth(answerDelayMs, now - record->lastRoundMs);
    // A pause not ended by a request round is the sender's own pacing (a
    // server writing a list to a thousand clients comes back to each one
    // every few dozen milliseconds): no round may call that pause a loss.
    if (record->quietRounds == 0 && record->lastArrivalMs > 0)
        record->arrivalGapMs =
            std::max(record->arrivalGapMs, std::min(now - record->lastArrivalMs, loss::kMaxIntervalMs));
    record->quietRounds = 0;
    record->lastArrivalMs = now;
    if (index > record->highestIndex + 1 && index - 1 > record->reportedUpTo)
        record->newGap = true; // what is between is lost, or comes late
    if (index > record->highestIndex)
        record->highestIndex = index;
    if (reportsLoss(record))
        noteReordering(record, index, txn);
    while (record->firstMissing < record->total && hasPacket(record, record->firstMissing))
        ++record->firstMissing; // 0-based: the first slot without a packet
    if (record->count == record->total)
        return;
    if (index == record->total)
        record->requestNow = true; // every gap is evident now (or soon, if it comes late)
    if (record->newGap || record->requestNow)
        alarm.arm(recoveryDue(record));
}

void LossRecovery::noteSenderDone(NOLVUDPBUFFER *record)
{
    // Packet 1 again, for a message not complete: the sender has written it
    // all and heard nothing, so what is missing now, the tail too, is lost.
    // One of our units writes it again so only after a quiet round trip;
    // while its packets still arrive, it answers a report (perhaps a forged
    // one) and the rest is on its way.
    if (reportsLoss(record)) {
        const PeerPath *path = paths.find(record->source, record->port);
        const int64_t rttMs = path->receiving.senderRttOr(loss::kDefaultSenderRttMs);
        if (platform::monotonicMs() - record->lastArrivalMs < rttMs)
            return;
    }
    record->senderDone = true;
    record->requestNow = true;
    alarm.arm(recoveryDue(record));
}

int64_t LossRecovery::recoveryDue(const NOLVUDPBUFFER *record) const
{
    if (record->count >= record->total || record->age >= 10 || record->inUse > 0 || record->superseded)
        return 0;
    if (record->requestNow)
        return std::max(record->lastArrivalMs, int64_t(1));
    if (!reportsLoss(record))
        return loss::requestRoundDue(record, answerDelayMs);
    // New gaps once they are older than the reordering window; ranges
    // already reported again after the sender's round trip; the tail once
    // the record has been quiet as below.
    const PeerPath *path = paths.find(record->source, record->port);
    if (record->newGap) {
        const int64_t evidentMs = (record->settlingSinceUs + path->receiving.reorderWindowUs() + 999) / 1000;
        return std::max({record->lastArrivalMs, evidentMs, int64_t(1)});
    }
    const int64_t again = record->lastReportUs / 1000 + loss::reReportMs(path->receiving.senderRttMs, record);
    return loss::hasGaps(record) && record->lastReportUs ? again : loss::tailDue(record);
}

int64_t LossRecovery::nextDueMs() const
{
    int64_t next = 0;
    for (const NOLVUDPBUFFER *record : records.all())
        if (const int64_t due = recoveryDue(record); due != 0 && (next == 0 || due < next))
            next = due;
    return next;
}

QList<NOLVUDPBUFFER *> LossRecovery::dueRecords(int64_t nowMs)
{
    // Taken first: the log lines of the pass may run handlers. Sources take
    // turns: the pass starts one record further each time.
    QList<NOLVUDPBUFFER *> due;
    const int n = records.size();
    const int start = n ? int(passTurn++ % quint64(n)) : 0;
    for (int k = 0; k < n; ++k) {
        NOLVUDPBUFFER *record = records.at((start + k) % n);
        const int64_t at = recoveryDue(record);
        if (at != 0 && nowMs >= at)
            due.append(record);
    }
    return due;
}

int LossRecovery::askReports(NOLVUDPBUFFER *record, PeerPath *path, int64_t nowUs, PassState &state)
{
    const quint64 source = path->id;
    transport::LossReportWriter &report = state.reports[source];
    int got = asker.report(record, path, nowUs, report);
    if (got == 0 && !report.isEmpty() && state.reportsSent[source] < kMaxReportsPerSource) {
        // The report is full: it goes, and this record fills the next.
        feedback.send(path, nowUs, &report);
        ++state.reportsSent[source];
        report = transport::LossReportWriter();
        record->lastReportUs = 0;
        got = asker.report(record, path, nowUs, report);
    }
    return std::min(got, 16); // a range is one datagram, however long
}

void LossRecovery::askDue(int64_t nowUs)
{
    const int64_t now = nowUs / 1000;
    const QList<NOLVUDPBUFFER *> due = dueRecords(now);
    QHash<quint64, int> askedOf;
    PassState state;
    int budget = kMaxRequestsPerPass;
    for (NOLVUDPBUFFER *record : due) {
        if (budget <= 0)
            break;
        if (records.find(record->ip, record->date, record->time, record->port) != record || record->inUse > 0)
            continue; // expired meanwhile, or a dispatch works on it
        const quint64 source = transport::endpointId(record->source, record->port);
        int &asked = askedOf[source];
        if (asked >= kMaxRequestsPerSource)
            continue;
        ++record->inUse;
        PeerPath *path = paths.find(source);
        const int got = path && reportsLoss(record)
                            ? askReports(record, path, nowUs, state)
                            : asker.request(record, now, std::min(budget, kMaxRequestsPerSource - asked));
        asked += got;
        budget -= got;
        --record->inUse;
    }
    for (auto it = state.reports.begin(); it != state.reports.end(); ++it)
        if (PeerPath *path = paths.find(it.key()); path && !it.value().isEmpty())
            feedback.send(path, nowUs, &it.value());
}

void LossRecovery::expire()
{
    // A record's age counts the ticks since its last new packet: it lives
    // while it progresses, up to kMaxLifeTicks in all. A record that a
    // dispatch is still working on is left for a later tick.
    int dataFails = 0;
    for (int i = 0; i < records.size();) {
        NOLVUDPBUFFER *record = records.at(i);
        const QByteArray key = identityKey(record->date, record->time);
        if (record->age >= kExpiryAge || record->lifeTicks >= kMaxLifeTicks) {
            if (record->inUse > 0) {
                ++i;
                continue;
            }
            records.takeAt(i);
            records.budget().release(record->ip, heldBytes(record));
            host.writeLog(tr("Delete expired buffer:") + QString::fromLatin1(key) + fromLabel(record->ip));
            retire(life, record);
            continue;
        }
        if (record->age == kExpiryAge - 1 && records.size() > 500 && dataFails < kMaxDataFailsPerPass) {
            ++dataFails;
            char ip[16];
            text::copyText(ip, record->ip);
            controls.sendText("DATAFAIL$" + self.nameBytes() + key, ip, record->port);
            host.emitLog(tr("Request failed:") + QString::fromLatin1(key) + fromLabel(ip));
        }
        ++record->age;
        ++record->lifeTicks;
        ++i;
    }
}
