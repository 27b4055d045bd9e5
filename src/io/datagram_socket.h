// The unit's UDP socket: the one place every datagram in and out passes.
// It binds (and moves to another port), reads datagrams in batches, the
// backlog of what it drained during long runs of writes first, and writes
// them in batches or one at a time, through the outgoing tap when one is set.
// With a network key, its secure gate seals every datagram written (after
// the tap: the tap sees the plain datagram) and opens every datagram read
// before it is handed on.
#pragma once

#include <QHostAddress>
#include <deque>
#include <functional>
#include <vector>

#include "io/datagram_out.h"
#include "io/outgoing_tap.h"
#include "io/secure_gate.h"

class QObject;
class QUdpSocket;

class DatagramSocket : public DatagramOut {
public:
    // One datagram read: its bytes (at most 548 counted), their number, and
    // where it came from. With a key, the plain datagrams a keyed one released.
    using Receive = std::function<void(const char *bytes, qint64 size, const QHostAddress &from, quint16 port)>;

    // The socket is a child of `owner`, whose slot `readSlot` (a name without
    // arguments) reads it; `readNow` reads it from a wait's round. The secure
    // gate's log lines go to `log`.
    DatagramSocket(QObject *owner, const char *readSlot, Receive receive, std::function<void()> readNow,
                   SecureGate::Log log);
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
    // The network key (see SecureGate::setKey).
    bool setKey(const uint8_t *key, size_t size) { return gate.setKey(key, size); }
    const SecureGate &secure() const { return gate; }

    // DatagramOut.
    void *stageSlot() override;
    void stage(quint32 address, quint16 port) override;
    bool flushStaged() override;
    void writeNow(const void *datagram, quint32 address, const char *ip, quint16 port) override;

    // Reads, on every socket of this thread, what the event loop leaves
    // unread while one of its datagrams is being handled (each round of a
    // wait calls it).
    static void readNested();

private:
    using ReadBuffer = unsigned char[io::kMaxWireBytes];
    struct QueuedDatagram {
        alignas(8) unsigned char bytes[io::kPlainBytes];
        qint64 size;
        QHostAddress sender;
        quint16 port;
    };
    struct Staged {
        alignas(8) unsigned char plain[io::kPlainBytes];
        quint32 address;
        quint16 port;
        int wireSize; // sealed into wire: its size; 0: not sealed, -1: the gate took it
        unsigned char wire[secure::kMaxWireSize];
    };
    int readBatch(ReadBuffer *buffers, QHostAddress &sender, quint32 &senderV4);
    // A datagram read, handed on: as it is (its first 548 bytes) without a
    // key, or what the gate opens of it.
    template <typename Fn>
    void release(const unsigned char *bytes, qint64 size, quint32 address, quint16 port, Fn &&to);
    void deliver(const unsigned char *bytes, qint64 size, const QHostAddress &from, quint16 port);
    void write(const unsigned char *plain, const QHostAddress &address, quint16 port);
    void sealAndWrite(const QByteArray &plain, const QHostAddress &address, quint16 port);
    void writeWire(const uint8_t *data, size_t size, quint32 address, quint16 port);
    bool sealStaged();
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
    bool readQueued = false;       // a read waits in the event queue already
    bool readAfterNesting = false; // a read came while handlers were nested deepest
    std::deque<QueuedDatagram> backlog; // read during long runs of writes, handled first
    int writesSinceDrain = 0;
    std::vector<Staged> staged;         // datagrams written together
    int stagedCount = 0;
    OutgoingTap tap;
    SecureGate gate;
};
