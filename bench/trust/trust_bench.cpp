// Runs every scenario of the trust benchmark (see README.md).
#include <QCoreApplication>
#include <malloc.h>

#include "support/peer.h"
#include "trust_bench.h"

qint64 heapInUse() { return qint64(mallinfo2().uordblks); }

int main()
{
    ensureApplication();
    forgedReports();
    silentDestination();
    strangerPorts();
    restartedSender();
    feedbackSources();
    strangersBeside();
    waitingHost();
    return 0;
}
