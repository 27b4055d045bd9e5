// The two roles of the registry benchmark, each run in its own process.
#pragma once

#include <QString>

class MUDPUnit;

namespace bench {

constexpr unsigned short kServerPort = 47000;
constexpr const char *kAddress = "127.0.0.2";

// One server until every client process has reported, then a steady window
// of `steadySeconds`; prints one "RESULT" line. `dir` is the shared folder
// of ready, done and stop files.
int runServer(int clients, int processes, int steadySeconds, const QString &dir);

// `count` client units (numbers first.. first+count-1) of `clients` in all;
// writes done.<process> once every unit lists every other client, then runs
// until the server writes stop.
int runClients(int clients, int first, int count, int process, const QString &dir);

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

} // namespace bench
