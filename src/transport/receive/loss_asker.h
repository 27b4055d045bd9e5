// One round of asking a sender for the missing packets of one incomplete
// message: REQUESTs per packet, queued for the writer at the protocol's
// pace, or ranges added to a loss report for a sender that takes them.
#pragma once

#include <QtGlobal>

#include "transport/wire.h"

class HostBridge;
class Writer;
struct LocalIdentity;
struct PeerPath;
namespace transport {
class LossReportWriter;
}

class LossAsker {
public:
    LossAsker(LocalIdentity &self, Writer &writer, HostBridge &host) : self(self), writer(writer), host(host) {}

    // Asks for the gaps below the highest packet received and, once the
    // sender has been silent long enough, a run of packets after it; at most
    // `budget` requests. Returns how many went.
    int request(NOLVUDPBUFFER *record, int64_t nowMs, int budget);
    // Adds new gaps now, older ones again after the sender's round trip, the
    // tail once it is due, to `report`. Returns the packets reported.
    int report(NOLVUDPBUFFER *record, const PeerPath *path, int64_t nowUs, transport::LossReportWriter &report);

private:
    LocalIdentity &self;
    Writer &writer;
    HostBridge &host;
};
