#include "phase_follower.h"

#include <QFile>
#include <algorithm>

namespace bench {

PhaseFollower::PhaseFollower(Units &units, int clients, int first, int process, const QString &dir)
    : units_(units), clients_(clients), first_(first), process_(process), dir_(dir),
      joinSeen_(units.size()), leaveSeen_(units.size()), agrees_(units.size()), agreeSince_(units.size())
{
}

void PhaseFollower::step()
{
    followProbe("probe.joined", "seen.join", true, joinReported_, joinSeen_);
    followProbe("probe.left", "seen.leave", false, leaveReported_, leaveSeen_);
    followLeaves();
    followAgreement();
}

void PhaseFollower::followProbe(const char *made, const char *seen, bool shown, bool &done,
                                std::vector<qint64> &since)
{
    if (done || !QFile::exists(file(QLatin1String(made))))
        return;
    const QList<QByteArray> probe = readFile(file(QLatin1String(made))).split(' ');
    if (probe.size() < 2)
        return;
    const unsigned short port = static_cast<unsigned short>(probe[0].toUInt());
    const qint64 madeMs = probe[1].trimmed().toLongLong();
    qint64 last = madeMs;
    bool all = true;
    for (size_t i = 0; i < units_.size(); ++i) {
        WatchedUnit &u = *units_[i];
        if (!u.registered)
            continue;
        if (!since[i] && u.changedFor(WatchedUnit::Probe) && u.shows(port) == shown)
            since[i] = std::max(madeMs, u.lastChangeMs());
        all = all && since[i];
        last = std::max(last, since[i]);
    }
    if (!all)
        return;
    writeAtomically(file(QStringLiteral("%1.%2").arg(QLatin1String(seen)).arg(process_)), QByteArray::number(last));
    done = true;
}

void PhaseFollower::followLeaves()
{
    if (first_ < 0 || knobs_.churnS <= 0)
        return;
    if (!churnStartMs_) {
        churnStartMs_ = readFile(file(QStringLiteral("churn.start"))).trimmed().toLongLong();
        if (!churnStartMs_)
            return;
    }
    const qint64 sinceStart = monoMs() - churnStartMs_;
    for (size_t i = 0; i < units_.size(); ++i) {
        const int m = leaveOf(clients_, first_ + int(i), knobs_);
        WatchedUnit &u = *units_[i];
        if (m < 0 || !u.registered || leaveDueMs(m) > sinceStart)
            continue;
        const qint64 before = monoMs();
        u.unit().unRegFromServer(kAddress, kServerPort);
        longestLeaveMs_ = std::max(longestLeaveMs_, monoMs() - before);
        u.registered = false;
        ++leavesDone_;
    }
}

void PhaseFollower::followAgreement()
{
    if (!churnStartMs_ && first_ >= 0)
        return; // a client process learns of the churn in followLeaves
    if (first_ < 0 && !churnStartMs_)
        churnStartMs_ = readFile(file(QStringLiteral("churn.start"))).trimmed().toLongLong();
    if (!churnStartMs_ || monoMs() < churnStartMs_ + qint64(knobs_.churnS) * 1000)
        return;
    const QList<QByteArray> lines = readFile(file(QStringLiteral("server.list"))).split('\n');
    const long long seq = lines.value(0).toLongLong();
    if (lines.size() < 2 || seq <= 0)
        return;
    const bool newList = seq != listSeq_;
    if (newList) {
        listSeq_ = seq;
        serverPorts_.clear();
        for (const QByteArray &p : lines[1].split(' '))
            if (!p.isEmpty())
                serverPorts_.push_back(static_cast<unsigned short>(p.toUInt()));
        std::sort(serverPorts_.begin(), serverPorts_.end());
    }
    bool all = true;
    qint64 last = 0;
    for (size_t i = 0; i < units_.size(); ++i) {
        WatchedUnit &u = *units_[i];
        if (!u.registered)
            continue;
        if (u.changedFor(WatchedUnit::Agreement) || newList) {
            // A notice that changed nothing keeps the moment it came to agree.
            const bool agrees = u.view() == serverPorts_;
            if (agrees && !agrees_[i])
                agreeSince_[i] = u.lastChangeMs();
            agrees_[i] = agrees;
        }
        all = all && agrees_[i];
        last = std::max(last, agreeSince_[i]);
    }
    if (all && agreedSeq_ != seq) {
        agreedSeq_ = seq;
        writeAtomically(file(QStringLiteral("agree.%1").arg(process_)),
                        QByteArray::number(seq) + ' ' + QByteArray::number(last));
    } else if (!all && agreedSeq_ == seq) {
        agreedSeq_ = -1;
        QFile::remove(file(QStringLiteral("agree.%1").arg(process_)));
    }
}

} // namespace bench
