// Single-datagram messages (control words: acknowledgements, requests,
// registrations, heartbeats), written at once. Each carries in its reserved
// bytes what its destination's path calls for: feedback for a peer whose
// numbered datagrams this unit receives, a number to name for a destination
// not yet proven, or else an unnumbered data mark.
#pragma once

#include <QByteArray>
#include <QtGlobal>

#include "transport/wire.h"

class DatagramOut;
class PathTable;
struct LocalIdentity;
struct PeerPath;

class ControlSender {
public:
    ControlSender(LocalIdentity &self, PathTable &paths, DatagramOut &out) : self(self), paths(paths), out(out) {}

    // A message of `size` bytes of `data` (0: up to its NUL), at most 500;
    // nothing when it is longer, or data or address is missing.
    void send(const char *data, const char *destIP, unsigned short port, int size = 0);
    // The same from copies of the text and the address.
    void sendText(const QByteArray &message, const char *destIP, unsigned short port, int size = 0);
    // Writes one datagram now, marked for its destination.
    void writeSingle(NOLVUDPPACKET &packet, const char *destIP, unsigned short port);
    // Writes one datagram now to a peer we owe feedback, with the feedback.
    void writeWithFeedback(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs);

private:
    void markFeedback(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs);
    void markProbe(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs);

    LocalIdentity &self;
    PathTable &paths;
    DatagramOut &out;
};
