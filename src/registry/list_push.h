// User lists as a server: the client table goes to every client that is not
// one of our units whenever it changes, one push at a time, and a new push
// retires the unacknowledged sends of the lists it supersedes. Our units get
// differences (ListDiffPush), which every change is passed on to.
#pragma once

#include <QList>

#include "transport/record_keys.h"

class Lifetime;
class ListDiffPush;
class ListExport;
class PeerSending;
class PeerTables;
class QObject;
class SendRecords;
struct LocalIdentity;
struct Message;

class ListPush {
public:
    // What the pushes of this unit have cost so far.
    struct Stats {
        qint64 pushes = 0;
    };

    ListPush(QObject *owner, LocalIdentity &self, PeerTables &tables, PeerSending &sending, SendRecords &sends,
             ListExport &lists, ListDiffPush &diffs, Lifetime &life)
        : owner(owner), self(self), tables(tables), sending(sending), sends(sends), lists(lists), diffs(diffs),
          life(life)
    {
    }

    // The client list changed (sendNewListToClient).
    void clientsChanged();
    // UNKOWN came back: when it names PEERDIFF, the client is one of our
    // units from before differences, and gets whole lists from now on,
    // starting with one now.
    void noteUnknownWord(const Message &m);
    // A send's packets are no longer being written.
    void noteWritingEnded(const SENDRECORD *record);
    Stats stats() const { return pushStats; }

private:
    bool beingWritten() const;
    void pushOnce();
    void retireSuperseded();

    QObject *owner;
    LocalIdentity &self;
    PeerTables &tables;
    PeerSending &sending;
    SendRecords &sends;
    ListExport &lists;
    ListDiffPush &diffs;
    Lifetime &life;
    bool pushRunning = false;        // a push is being queued
    MessageKey currentPush;          // identity of the last push
    bool pushPending = false;        // the client list changed during it
    QList<MessageKey> recentLists;   // identities of the last pushes, newest last
    Stats pushStats;
};
