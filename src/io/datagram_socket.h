// The unit's UDP socket: the one place every datagram in and out passes.
// It binds (and moves to another port), reads datagrams in batches, the
// backlog of what it drained during long runs of writes first, and writes
// them in batches or one at a time, through the outgoing tap when one is set.
#pragma once

#include <QHostAddress>
#include <deque>
#include <functional>
#include <vector>

#include "io/datagram_out.h"
#include "io/outgoing_tap.h"

class QObject;
class QUdpSocket;

class DatagramSocket : public DatagramOut {
public:
    // One datagram read: its bytes (at most 548 counted), their number, and
    // where it came from.
    using Receive = std::function<void(const char *bytes, qint64 size, const QHostAddress &from, quint16 port)>;

    // The socket is a child of `owner`, whose slot `readSlot` (a name without
    // arguments) reads it; `readNow` reads it from a wait's round.
    DatagramSocket(QObject *owner, const char *readSlot, Receive receive, std::function<void()> readNow);
    ~DatagramSocket() override;
    DatagramSocket(const DatagramSocket &) = delete;
    DatagramSocket &operator=(const DatagramSocket &) = delete;

    // Binds a new socket to port and moves to it; on failure the socket it
    // had stays. Binding is exclusive.
    bool moveToPort(unsigned short port);
    bool bound() const { return portBound; }
    QUdpSocket *socket() const { return udp; }
    // Stops reading and writing for good and frees the port.
    void close();
    bool isClosed() const { return closed; }

    // Reads what waits, the backlog first, up to a turn's worth (the event
    // loop comes back for the rest).
    void readPending();
    // Nesting of readPending: datagrams being handled below.
    int depth() const { return receiveDepth; }
    // Whether datagrams wait in the backlog or the socket.
    bool hasWaiting() const;
    size_t backlogSize() const { return backlog.size(); }

    void setOutgoingTap(OutgoingTap fn) { tap = std::move(fn); }

    // DatagramOut.
    NOLVUDPPACKET &stageSlot() override;
    void stage(quint32 address, quint16 port) override;
    bool flushStaged() override;
    void writeNow(const NOLVUDPPACKET &packet, quint32 address, const char *ip, quint16 port) override;

    // Reads, on every socket of this thread, what the event loop leaves
    // unread while one of its datagrams is being handled (each round of a
    // wait calls it).
    static void readNested();

private:
    struct QueuedDatagram {
        NOLVUDPPACKET packet;
        qint64 size;
        QHostAddress sender;
        quint16 port;
    };
    struct Staged {
        NOLVUDPPACKET packet;
        quint32 address;
        quint16 port;
    };
    int readBatch(NOLVUDPPACKET *datagrams, QHostAddress &sender, quint32 &senderV4);
    void write(const NOLVUDPPACKET &packet, const QHostAddress &address, quint16 port);
    void drain();
    void readLater();

    QObject *owner;
    const char *readSlot;
    Receive receive;
    std::function<void()> readNow;
    QUdpSocket *udp;
    bool portBound = false;
    bool closed = false;
    int receiveDepth = 0;
    std::deque<QueuedDatagram> backlog; // read during long runs of writes, handled first
    int writesSinceDrain = 0;
    std::vector<Staged> staged;         // datagrams written together
    int stagedCount = 0;
    OutgoingTap tap;
};
