// A unit under test with what it logged and received, and helpers to let
// events run.
#pragma once

#include <QByteArray>
#include <QStringList>
#include <functional>
#include <memory>

#include "support/unit_probe.h"

// Makes sure a Qt application object exists for the whole test program.
void ensureApplication();

// Whether the test runs where 127.0.0.2 is a local address (the namespace
// that tests/netns-run.sh makes).
bool haveTestAddresses();

struct Peer {
    // A unit named `name` with local address `addr`, bound to `port` (not
    // bound when `bind` is false: the port is then only what a simulated
    // path says it sends from). Its timer is stopped: tests tick it by hand
    // with tick().
    Peer(const char *name, const char *addr, unsigned short port, bool bind = true);
    ~Peer();

    MUDPUnit &unit() { return *u; }
    // A new unit in place of this one (a restarted host), with the same
    // name, address and port; logs and received data go on in the lists.
    void restart();
    MUDPUnit *operator->() { return u.get(); }
    void tick() { UnitInspector::tick(*u); }

    // Log lines without their "hh:mm:ss:" prefix, in order.
    QStringList logs;
    QList<QByteArray> received;

    int countLogs(const QString &prefix) const;
    bool hasLog(const QString &prefix) const { return countLogs(prefix) > 0; }

    const char *name;
    const char *addr;
    unsigned short port;
    bool bound;
    std::unique_ptr<MUDPUnit> u;
};

// How long a wait for a condition may take before the test fails. It only
// ends a wait that would never succeed, so it is generous: a busy machine
// may take many times as long as an idle one.
constexpr int kWaitBoundMs = 60000;

// Lets events run for ms milliseconds: only where real time is what a test
// is about.
void pump(int ms);
// Lets events run until done() holds; false when it still does not after ms
// milliseconds.
bool pumpUntil(const std::function<bool()> &done, int ms = kWaitBoundMs);
// Lets events run until every Peer has written what it queued and read what
// reached its socket, and that held over a few rounds: what was sent has
// been handled, and so have the answers to it. Timers may still have work
// due later. False when that never happens within ms milliseconds.
bool settle(int ms = kWaitBoundMs);
