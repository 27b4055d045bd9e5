// A client unit of the benchmark whose host window notes every change of its
// live-user list, so that the checks of a phase look again only at units
// whose list changed (a copy of 3,000 records for each of sixty units every
// tenth of a second would cost the clients more than the server).
#pragma once

#include <QtGlobal>
#include <memory>
#include <vector>

#include "unit/mudp_unit.h"

namespace bench {

class WatchedUnit {
public:
    enum Check { Listed, Probe, Agreement, kChecks };

    // A unit named client-<number> on its own port; unbound if the port was taken.
    explicit WatchedUnit(int number);
    WatchedUnit(const WatchedUnit &) = delete;
    WatchedUnit &operator=(const WatchedUnit &) = delete;

    bool bound() const { return bound_; }
    MUDPUnit &unit() { return *unit_; }
    unsigned short port() const { return port_; }
    bool registered = false; // with the server (set and cleared by the owner)

    // Whether the live-user list changed since this check last looked; marks it seen.
    bool changedFor(Check check);
    // When the live-user list last changed (CLOCK_MONOTONIC ms; 0 never).
    qint64 lastChangeMs() const { return lastChangeMs_; }

    int liveCount();
    bool shows(unsigned short port);
    // The ports of its live users and its own, sorted: what the server's client list should be.
    std::vector<unsigned short> view();

private:
    static LRESULT onMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    std::unique_ptr<MUDPUnit> unit_;
    MUDPWindow window_{};
    unsigned short port_;
    bool bound_ = false;
    quint64 changes_ = 1;
    quint64 seen_[kChecks] = {};
    qint64 lastChangeMs_ = 0;
};

using Units = std::vector<std::unique_ptr<WatchedUnit>>;

} // namespace bench
