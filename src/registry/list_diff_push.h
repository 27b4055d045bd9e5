// User lists as a server, toward clients that are our own units: changes of
// the client list within a short window are joined into one difference,
// numbered in the server's run, and written once to every such client that
// holds the list before it (one message to all of them). A new client, or
// one that asks again, gets the whole list instead. Clients that are not
// our units get whole lists from ListPush, as the protocol has it.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>

#include "registry/list_diff_wire.h"
#include "registry/peer_tables.h"
#include "transport/record_keys.h"
#include "transport/send_target.h"

class HostBridge;
class Lifetime;
class PeerSending;
class QObject;
class QTimer;
class SendRecords;
struct LocalIdentity;
struct Message;

class ListDiffPush {
public:
    // What the differences of this unit have cost so far.
    struct Stats {
        qint64 differences = 0; // messages of a difference (each to every client in step)
        qint64 wholeLists = 0;  // messages of a whole list (each to the clients that needed one)
        qint64 asked = 0;       // whole lists asked for and granted
    };

    ListDiffPush(QObject *owner, LocalIdentity &self, PeerTables &tables, PeerSending &sending, SendRecords &sends,
                 HostBridge &host, Lifetime &life);

    // A client registered; `ours` when its datagrams carry our marks.
    void noteRegistered(const PEERINFO *client, bool ours);
    // Whether the client gets differences rather than whole lists.
    bool isOurs(const PEERINFO *client) const;
    // The client at ip:port answered that it does not know PEERDIFF (one of
    // our units from before differences): whole lists from now on. Whether
    // such a client was following.
    bool noteCannotDiff(const char *ip, unsigned short port);
    // Whole lists to every client, as if none were one of our units.
    void setWholeListsOnly(bool on) { wholeListsOnly = on; }
    // The client list changed: a difference goes once the window closes.
    void clientsChanged();
    // PEERSYNC: a client that could not apply a difference asks for the whole list.
    void handleSync(Message &m);
    // Writes what is due now (the window's timer calls it).
    void flush();
    void stop();
    // A send's packets are no longer being written.
    void noteWritingEnded(const SENDRECORD *record);
    Stats stats() const { return diffStats; }

private:
    struct Follower {
        bool ours = false;
        bool needsWhole = true;
        quint32 at = 0;          // the list number it holds, or will once what was sent arrives
        qint64 wholeSentMs = -1; // when it last got a whole list
    };
    using Snapshot = QHash<QByteArray, PEERINFO>; // by name, ip and port

    Snapshot current() const;
    bool changesSince(const Snapshot &now, QByteArray *puts, QByteArray *removes) const;
    bool wholeBeingWritten() const;
    MessageKey send(listdiff::Kind kind, quint32 from, quint32 to, const QByteArray &puts, const QByteArray &removes,
              const QList<SendTarget> &targets);
    void dropGone(const Snapshot &now);
    QByteArray wholeList() const;

    LocalIdentity &self;
    PeerTables &tables;
    PeerSending &sending;
    SendRecords &sends;
    HostBridge &host;
    Lifetime &life;
    QTimer *window;
    quint32 run;              // drawn at start
    quint32 number = 1;       // the number of the list in `snapshot`
    Snapshot snapshot;        // the client list as of `number`
    QHash<QByteArray, Follower> followers; // by the client's name, ip and port
    Stats diffStats;
    bool wholeListsOnly = false;
    MessageKey wholeKey;           // the last whole list
    QList<SendTarget> wholeTargets; // and its clients
    bool wholeWaiting = false;     // clients wait for it to be written
    qint64 lastFlushMs = -1;       // when the last difference was made
};
