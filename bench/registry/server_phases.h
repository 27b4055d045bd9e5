// The server's phases after the steady window: a single join and a single
// leave of the probe unit, and the churn with the check that every list
// agrees after it. Each prints one line for run.sh and is bounded in time.
#pragma once

#include <QString>

#include "bench_roles.h"

class MUDPUnit;

namespace bench {

class StallMeter;
class TrafficMeter;

struct ServerContext {
    MUDPUnit &unit;
    TrafficMeter &meter;
    StallMeter &stalls;
    QString dir;
    int clients;
    int processes; // client processes
    Knobs knobs;
};

int clientCount(MUDPUnit &unit);

// "PROBE clients=N join_ms=T join_datagrams=D join_bytes=B leave_ms=... "
// (T -1: not within the limit).
void runProbePhase(ServerContext &c);

// "CHURN clients=N changes=C ... agree_ms=T" (T -1: not within the limit).
void runChurnPhase(ServerContext &c);

} // namespace bench
