// The roles of the registry benchmark, each run in its own process, and
// what they share: the folder of files through which they coordinate, the
// clock and the knobs from the environment.
#pragma once

#include <QByteArray>
#include <QString>

class MUDPUnit;

namespace bench {

constexpr unsigned short kServerPort = 47000;
constexpr const char *kAddress = "127.0.0.2";

// The knobs, from the environment (run.sh sets them).
struct Knobs {
    int regLimitS = 180;  // REG_LIMIT: registration and listing
    int lifeS = 260;      // LIFE: every process stops by then
    bool probe = false;   // PROBE=1: a single join and leave after the steady window
    int probeLimitS = 60; // PROBE_LIMIT: for each of them to reach every list
    int churnS = 0;       // CHURN: seconds of 5 joins and 5 leaves a second (0: none)
    int churnProcs = 0;   // CHURN_PROCS: processes that make the joins
    int agreeLimitS = 60; // AGREE_LIMIT: for every list to agree after the churn
    int clientProcs = 1;  // CLIENT_PROCS: client processes, each holding a run of numbers
    static Knobs fromEnvironment();
};

// Port of client number i (0-based), of the probe, and of the churn's m-th joiner.
inline unsigned short clientPort(int i) { return static_cast<unsigned short>(kServerPort + 1 + i); }
inline unsigned short probePort(int clients) { return clientPort(clients); }
inline unsigned short joinerPort(int clients, int m) { return clientPort(clients + 1 + m); }

// The churn's plan: the m-th join and the m-th leave, 5 of each a second,
// are due this long after the churn starts.
inline qint64 joinDueMs(int m) { return qint64(m) * 200 + 100; }
inline qint64 leaveDueMs(int m) { return qint64(m) * 200; }
inline int churnChanges(const Knobs &k) { return 5 * k.churnS; }
// Which leave client number `number` makes (-1: none). The leaves go to the
// client processes in turns, so that one process makes one only every
// CLIENT_PROCS / 5 s: each unRegFromServer holds its process for up to a
// heartbeat period (2 s) until the server's entry goes.
int leaveOf(int clients, int number, const Knobs &k);

// One server until every client process has reported, then a steady window
// of `steadySeconds`, then the probe and churn phases the knobs ask for;
// prints "RESULT" lines. `dir` is the shared folder of files.
int runServer(int clients, int processes, int steadySeconds, const QString &dir);

// `count` client units (numbers first.. first+count-1) of `clients` in all;
// writes done.<process> once every unit lists every other client, then
// follows the later phases until the server writes stop.
int runClients(int clients, int first, int count, int process, const QString &dir);

// The unit that joins and leaves once when the server asks (probe.join,
// probe.leave).
int runProbe(int clients, const QString &dir);

// One of the churn's joining processes: joins m = index, index + procs, ...
// at their due times once the churn starts; reports its agreement as
// process `process`.
int runJoiner(int clients, int index, int process, const QString &dir);

// With RCVBUF=<bytes> in the environment, asks for that receive buffer on
// the unit's socket (the kernel caps it at net.core.rmem_max); otherwise
// leaves the socket as the library made it. Returns the size in effect.
int applyReceiveBuffer(MUDPUnit &unit);

// Runs the event loop for ms milliseconds, as a host's message loop would:
// asleep until a datagram or a timer needs the process.
void idle(int ms);

// CPU seconds (user + system) and peak resident size (KiB) of this process.
double cpuSeconds();
long peakRssKb();

// CLOCK_MONOTONIC in ms: one clock for every process of the run.
qint64 monoMs();

// Files of the shared folder: an empty marker, a whole file written at once
// (by rename), and reading one (empty if absent).
bool touch(const QString &path);
bool writeAtomically(const QString &path, const QByteArray &content);
QByteArray readFile(const QString &path);

} // namespace bench
