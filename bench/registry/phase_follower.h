// What a client process does after registration, step by step as the
// server's files appear in the shared folder: report when every unit's
// live-user list shows the probe (probe.joined) and when none shows it any
// more (probe.left); make its share of the churn's leaves (churn.start);
// and after the churn report when every registered unit's live-user list,
// with itself, equals the server's client list (server.list).
#pragma once

#include <QString>
#include <vector>

#include "bench_roles.h"
#include "watched_unit.h"

namespace bench {

class PhaseFollower {
public:
    // `first`: the client number of units[0] when the units are clients
    // that may leave in the churn; -1 for joiners.
    PhaseFollower(Units &units, int clients, int first, int process, const QString &dir);

    // One look; call every 100 ms or so.
    void step();
    int leavesMade() const { return leavesDone_; }
    // The longest unRegFromServer call of those leaves, ms.
    qint64 longestLeaveMs() const { return longestLeaveMs_; }

private:
    // Once the probe's file `made` ("PORT MS") is there: reports in
    // `seen`.<process> when every registered unit shows (or no longer
    // shows) it; done when reported.
    void followProbe(const char *made, const char *seen, bool shown, bool &done, std::vector<qint64> &since);
    void followLeaves();
    void followAgreement();
    QString file(const QString &name) const { return dir_ + '/' + name; }

    Units &units_;
    const int clients_, first_, process_;
    const QString dir_;
    const Knobs knobs_ = Knobs::fromEnvironment();
    bool joinReported_ = false, leaveReported_ = false;
    std::vector<qint64> joinSeen_, leaveSeen_; // per unit: when its list first matched (0: not yet)
    qint64 churnStartMs_ = 0;
    int leavesDone_ = 0;
    qint64 longestLeaveMs_ = 0;
    long long listSeq_ = -1, agreedSeq_ = -1;
    std::vector<unsigned short> serverPorts_;
    std::vector<char> agrees_;
    std::vector<qint64> agreeSince_; // when its list last came to agree (CLOCK_MONOTONIC ms)
};

} // namespace bench
