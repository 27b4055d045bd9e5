// initInstance and clearInstance: the one unit and, for hosts that are not Qt
// applications, the application object it needs.
#include "api/instance.h"

#include <QCoreApplication>
#include <QtGlobal>

#include "unit/mudp_unit.h"

namespace {

constexpr int kFlushBeforeClearMs = 2000;

MUDPUnit *unitInstance = nullptr;
QCoreApplication *appInstance = nullptr;

// The application object keeps referring to its arguments: static storage.
int appArgc = 1;
char appName[] = "dummy.exe";
char *appArgv[] = {appName, nullptr};

} // namespace

namespace api {
MUDPUnit *unit() { return unitInstance; }
QCoreApplication *ownApplication() { return appInstance; }
} // namespace api

extern "C" {

MUDP_API MUDPUnit *initInstance(void)
{
    qWarning("create instance\n");
    if (!QCoreApplication::instance()) {
        appArgc = 1;
        appInstance = new QCoreApplication(appArgc, appArgv);
    } else {
        appInstance = nullptr;
    }
    unitInstance = new MUDPUnit();
    return unitInstance;
}

MUDP_API void clearInstance(void)
{
    qWarning("clear instance\n");
    // Queued writes go out first, for a bounded time, while the event loop
    // can still run.
    if (unitInstance)
        unitInstance->flushQueuedWrites(kFlushBeforeClearMs);
    if (appInstance) {
        delete appInstance;
        appInstance = nullptr;
    }
    if (unitInstance) {
        delete unitInstance;
        unitInstance = nullptr;
    }
}

} // extern "C"
