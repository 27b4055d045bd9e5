// Runs every scenario of the trust benchmark (see README.md).
#include <QCoreApplication>

#include "support/peer.h"
#include "scenarios.h"

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
