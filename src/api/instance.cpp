// initInstance and clearInstance: the one unit and, for hosts that are not Qt
// applications, the application object it needs.
#include "api/instance.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
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

// Frees a unit ended while code of it still ran, once none does: from a
// timer, which every event loop and every wait of the library runs.
void freeWhenLeft(const QPointer<MUDPUnit> &unit, int afterMs)
{
    QTimer::singleShot(afterMs, [unit] {
        if (unit && unit->isEntered())
            freeWhenLeft(unit, 10);
        else
            delete unit.data();
    });
}

} // namespace

namespace api {
MUDPUnit *unit() { return unitInstance; }
QCoreApplication *ownApplication() { return appInstance; }
} // namespace api

extern "C" {

MUDP_API MUDPUnit *initInstance(void)
{
    qWarning("create instance\n");
    // An application object the library made and kept (see clearInstance)
    // stays the library's.
    if (!QCoreApplication::instance()) {
        appArgc = 1;
        appInstance = new QCoreApplication(appArgc, appArgv);
    }
    unitInstance = new MUDPUnit();
    return unitInstance;
}

MUDP_API void clearInstance(void)
{
    qWarning("clear instance\n");
    static bool clearing = false; // a clearInstance inside the flush's wait has nothing more to do
    if (clearing)
        return;
    clearing = true;
    MUDPUnit *unit = unitInstance;
    unitInstance = nullptr;
    // Queued writes go out first, for a bounded time, while the event loop
    // can still run.
    if (unit)
        unit->flushQueuedWrites(kFlushBeforeClearMs);
    if (unit && unit->isEntered()) {
        // Called from inside a notification: the code that sent it still
        // runs on the unit, in the event processing of the application
        // object. The unit stops now and frees its port; it is freed once
        // that code has returned. The application object stays (the next
        // initInstance uses it, the next clearInstance ends it).
        unit->shutDown();
        freeWhenLeft(unit, 0);
        clearing = false;
        return;
    }
    if (appInstance) {
        delete appInstance;
        appInstance = nullptr;
    }
    delete unit;
    clearing = false;
}

} // extern "C"
