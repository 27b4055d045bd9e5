// User lists by difference as a client: a server that is one of our units
// sends its list whole once, then its changes (PEERDIFF). The live users
// that server reported end up exactly as if each whole list had been merged
// (ListMerge), with the same notices. A difference that does not follow the
// list held (a gap in the numbers, another run of the server) or cannot be
// read has the whole list asked for again (PEERSYNC).
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>

class ControlSender;
class HostBridge;
class IncomingRecords;
class ListMerge;
class PeerTables;
class Reassembly;
struct LocalIdentity;
struct Message;
namespace listdiff {
struct View;
}

class ListDiffMerge {
public:
    struct Parts {
        LocalIdentity &self;
        PeerTables &tables;
        ListMerge &whole;
        Reassembly &reassembly;
        const IncomingRecords &incoming;
        ControlSender &controls;
        HostBridge &host;
    };
    explicit ListDiffMerge(Parts parts) : p(parts) {}

    void handlePeerDiff(Message &m);
    // On the unit's tick: a gap that no later difference came to show (the
    // burst that opened it is over) has the whole list asked for once it has
    // waited long enough.
    void checkHeld();
    // A new registration with the server at ip:port starts from its whole list.
    void forget(const char *ip, unsigned short port);

private:
    struct Held {           // a difference that came before the list it follows
        quint32 run, from, to;
        QByteArray body;
    };
    struct FromServer {     // the series of one server's lists, by "ip:port"
        bool based = false; // a whole list of run `run` was merged
        quint32 run = 0;
        quint32 at = 0;     // the number of the list held
        QList<Held> held;
        qint64 firstHeldMs = 0; // when the first of them came
        qint64 askedMs = -1;
        // The server as the last difference held named it, for an ask on the tick.
        quint32 address = 0;
        QByteArray ip;
        unsigned short port = 0;
        QByteArray lastKey;
    };
    // Where an ask goes and what its log line names.
    struct Source {
        quint32 address;
        const char *ip;
        unsigned short port;
        const char *key;
    };
    static Source sourceOf(const Message &m);

    bool applies(const FromServer &s, quint32 run, quint32 from, quint32 to) const;
    void takeWhole(FromServer &s, const listdiff::View &v, const Message &m);
    void apply(FromServer &s, const listdiff::View &v, const Message &m);
    void applyHeld(FromServer &s, const Message &m);
    // Asks for the whole list when a held difference of the run still waits
    // for what it follows, and has waited long enough.
    void askForGap(FromServer &s, const Source &from);
    // Whether what is held has waited long enough for what it follows.
    bool waitedEnough(const FromServer &s, const Source &from, qint64 nowMs) const;
    void ask(FromServer &s, const Source &from, const QString &why);

    Parts p;
    QHash<QByteArray, FromServer> servers;
};
