// How the datagrams waiting for one destination are written: the policy of
// one path. A destination that takes part in our path protocol is paced by
// its rate controller: a token bucket at the controller's rate, and no more
// in flight than its limit. Any other destination gets the pace of the
// protocol as it stands: rounds of about 2 ms in which each message writes
// its packet 1 alone, then fifteen packets a round; answers to requests and
// runs of requests fifteen a round too.
#pragma once

#include <functional>

#include "transport/wire.h"

class DatagramOut;
class OutgoingMessages;
class Pacer;
class PathTable;
struct LocalIdentity;
struct PeerPath;

class PathWriter {
public:
    // What the parts above learn of the first writes of their sends.
    struct Events {
        // Every packet of the record's message has been written.
        std::function<void(SENDRECORD *record)> messageWritten;
        // The record's packets are no longer to be written (all written,
        // acknowledged, refused or given up).
        std::function<void(const SENDRECORD *record)> writingEnded;
    };

    PathWriter(LocalIdentity &self, OutgoingMessages &outgoing, PathTable &paths, DatagramOut &out)
        : self(self), outgoing(outgoing), paths(paths), out(out)
    {
    }
    void setEvents(Events e) { events = std::move(e); }

    // Writes what is due on the path, at most maxWrites datagrams; nextDueUs
    // is lowered to when more is due. `startPacer` is the first window that
    // paths without feedback share; its depth is the one every path's pacer
    // takes (the writer widens it where its timer wakes late).
    int write(PeerPath *path, int64_t nowUs, int maxWrites, int64_t &nextDueUs, Pacer &startPacer);
    // The record's packets are no longer to be written.
    void endWriting(SENDRECORD *record);

private:
    int writeRequests(PeerPath *path, int64_t nowUs, int maxWrites);
    int writeLegacyRound(PeerPath *path, int64_t nowUs, int maxWrites);
    int writeAtRate(PeerPath *path, int64_t nowUs, int maxWrites, int64_t &nextDueUs, Pacer &startPacer);
    bool writeNext(PeerPath *path, int64_t nowUs, bool paced, int jobLimit);
    bool writeJobPacket(PeerPath *path, SENDRECORD *record, int64_t nowUs, bool paced);
    uint32_t stagePaced(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs, bool paced); // its number

    LocalIdentity &self;
    OutgoingMessages &outgoing;
    PathTable &paths;
    DatagramOut &out;
    Events events;
};
