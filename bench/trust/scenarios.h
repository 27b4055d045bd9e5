// The scenarios of the trust benchmark; each prints its figures.
#pragma once

#include <QtGlobal>
#include <cstdio>
#include <malloc.h>

// Bytes the heap holds in use now.
inline qint64 heapInUse() { return qint64(mallinfo2().uordblks); }
inline double mib(qint64 bytes) { return double(bytes) / (1024.0 * 1024.0); }
inline double ms(int64_t us) { return double(us) / 1000.0; }

void forgedReports();      // one forged FEEDBACK: what the sender writes
void silentDestination();  // forged marks from a destination that never answers
void strangerPorts();      // 4,200 ports of marked datagrams, then a transfer
void restartedSender();    // a transfer before and after a restart on the same port
void feedbackSources();    // 30,000 FEEDBACK sources: memory
void strangersBeside();    // 100,000 stranger datagrams during a transfer
void waitingHost();        // 50,000 datagrams handled while the host waits in a notification
