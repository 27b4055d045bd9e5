#include "io/datagram_socket.h"

#include <QElapsedTimer>
#include <QList>
#include <QVariant>
#include <QUdpSocket>
#include <cstring>
#include <utility>

#include "platform/udp_batch.h"

namespace {

// The sockets of this thread, for the waits that read them.
QList<DatagramSocket *> &socketsOfThread()
{
    thread_local QList<DatagramSocket *> sockets;
    return sockets;
}

// How deep datagram handling may nest: a handler's wait reads further
// datagrams of its own socket only this many levels down, so a burst of
// datagrams cannot grow the stack without bound.
constexpr int kMaxReceiveDepth = 4;
// Datagrams kept in the backlog (about 4.5 MiB); beyond that the socket's
// own buffer takes them, and drops them when it is full.
constexpr size_t kMaxBacklog = 8192;
// Datagrams read per system call, and per event-loop turn before the writer
// and the feedback get theirs.
constexpr int kReadBatch = 32;
constexpr int kReadsPerTurn = 1024;
// Or, past a batch or two, this long: then the event loop gets a turn
// (timers, other sockets, the host's queued calls).
constexpr qint64 kTurnBudgetNs = 4000000;
constexpr int kReadsBeforeBudget = 64;
// Datagrams written per system call, and between two reads of the socket.
constexpr int kWriteBatch = 64;
constexpr int kWritesPerDrain = 256;
// The socket is not read while one of its own datagrams is being handled,
// and a fast sender fills it quickly: both directions get room (the system
// caps this at its own limit).
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;

// Reads one datagram into a buffer of io::kMaxWireBytes; returns its size,
// cut to the buffer. On Windows a datagram longer than the buffer fails to
// read (WSAEMSGSIZE) instead of being cut, so there a longer one is read
// whole and cut here.
qint64 readCut(QUdpSocket *socket, char *out, QHostAddress *sender, quint16 *port)
{
    constexpr qint64 kSize = qint64(io::kMaxWireBytes);
#ifdef _WIN32
    const qint64 size = socket->pendingDatagramSize();
    if (size > kSize) {
        QByteArray whole(size, Qt::Uninitialized);
        const qint64 got = socket->readDatagram(whole.data(), size, sender, port);
        if (got < 0)
            return got;
        std::memcpy(out, whole.constData(), size_t(qMin(got, kSize)));
        return qMin(got, kSize);
    }
#endif
    return socket->readDatagram(out, kSize, sender, port);
}

QByteArray slotSignature(const char *prefix, const char *name) { return QByteArray(prefix) + name + "()"; }

} // namespace

DatagramSocket::DatagramSocket(QObject *owner, const char *readSlot, Receive receive, std::function<void()> readNow,
                               SecureGate::Log log)
    : owner(owner), readSlot(readSlot), receive(std::move(receive)), readNow(std::move(readNow)),
      udp(new QUdpSocket(owner)),
      gate(owner, [this](const uint8_t *data, size_t size, quint32 address, quint16 port) {
          writeWire(data, size, address, port);
      }, std::move(log))
{
    QObject::connect(udp, SIGNAL(readyRead()), owner, slotSignature("1", readSlot).constData());
    socketsOfThread().append(this);
}

DatagramSocket::~DatagramSocket()
{
    socketsOfThread().removeOne(this);
    udp->deleteLater();
}

bool DatagramSocket::moveToPort(unsigned short port)
{
    if (portBound && udp->localPort() == port)
        return true;
    // The new socket binds first, so that a failure leaves the working one.
    // Binding is exclusive: a port that another socket holds is refused, even
    // when that socket allowed address reuse.
    auto *fresh = new QUdpSocket(owner);
    if (!fresh->bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress)) {
        delete fresh;
        return false;
    }
    fresh->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kSocketBufferBytes);
    fresh->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSocketBufferBytes);
    QObject::connect(fresh, SIGNAL(readyRead()), owner, slotSignature("1", readSlot).constData());
    QUdpSocket *old = udp;
    udp = fresh;
    old->disconnect(owner);
    old->close();
    old->deleteLater(); // a handler of its datagrams may be running below
    portBound = true;
    return true;
}

void DatagramSocket::close()
{
    if (closed)
        return;
    closed = true;
    socketsOfThread().removeOne(this);
    udp->disconnect(owner);
    udp->close();
    gate.stop();
    stagedCount = 0;
    backlog.clear();
}

bool DatagramSocket::hasWaiting() const
{
    return !backlog.empty() || (udp->state() == QAbstractSocket::BoundState && udp->hasPendingDatagrams());
}

void DatagramSocket::readNested()
{
    // The event loop does not deliver a socket's datagrams while one of them
    // is being handled, yet handlers wait for answers (a registration made
    // from inside a notification). Read those sockets here.
    const QList<DatagramSocket *> sockets = socketsOfThread(); // reading may add or remove units
    for (DatagramSocket *s : sockets) {
        if (!socketsOfThread().contains(s))
            continue;
        // A socket in no handler gets its datagrams from the event loop, but
        // what its own writes drained into the backlog only here.
        const bool nested = s->receiveDepth > 0 && s->receiveDepth < kMaxReceiveDepth &&
                            (!s->backlog.empty() || s->udp->hasPendingDatagrams());
        if (nested || (s->receiveDepth == 0 && !s->backlog.empty()))
            s->readNow();
    }
}

int DatagramSocket::readBatch(ReadBuffer *buffers, QHostAddress &sender, quint32 &senderV4)
{
    platform::InDatagram in[kReadBatch];
    for (int i = 0; i < kReadBatch; ++i)
        in[i] = {reinterpret_cast<char *>(buffers[i]), int(io::kMaxWireBytes), 0, 0, 0};
    const int got = platform::readDatagrams(udp->socketDescriptor(), in, kReadBatch);
    for (int i = 0; i < got; ++i) {
        // The sender as the dispatch signal carries it, made once per source
        // in a row rather than once per datagram.
        if (in[i].address != senderV4 || sender.isNull()) {
            senderV4 = in[i].address;
            sender.setAddress(senderV4);
        }
        deliver(buffers[i], qMin<qint64>(in[i].size, in[i].capacity), sender, in[i].port);
    }
    return got;
}

template <typename Fn>
void DatagramSocket::release(const unsigned char *bytes, qint64 size, quint32 address, quint16 port, Fn &&to)
{
    if (!gate.keyed()) {
        to(bytes, qMin<qint64>(size, qint64(io::kPlainBytes)));
        return;
    }
    // Only IPv4 peers have sessions; open() drops anything else as unkeyed.
    secure::PlainDatagram plain[secure::SecureChannel::kMaxReleased];
    const int count = gate.open(bytes, size_t(size), address, port, plain);
    for (int i = 0; i < count; ++i)
        to(plain[i].data(), qint64(plain[i].size()));
}

void DatagramSocket::deliver(const unsigned char *bytes, qint64 size, const QHostAddress &from, quint16 port)
{
    release(bytes, size, from.toIPv4Address(), port, [&](const unsigned char *data, qint64 n) {
        receive(reinterpret_cast<const char *>(data), n, from, port);
    });
}

void DatagramSocket::readPending()
{
    readQueued = false;
    // A queued read delivered inside a handler's wait would nest deeper than
    // the waits' own reads may: it is left to the outermost turn's end.
    if (receiveDepth >= kMaxReceiveDepth) {
        readAfterNesting = true;
        return;
    }
    ++receiveDepth;
    // Only the first 548 bytes of a plain datagram count (a keyed one is at
    // most 1,200): longer ones are cut as they are read, and none is asked
    // for its size first.
    const bool batched = platform::udpBatchingAvailable() && udp->socketDescriptor() >= 0;
    ReadBuffer buffers[kReadBatch];
    int handled = 0;
    QHostAddress sender;
    quint32 senderV4 = 0;
    QElapsedTimer turn;
    turn.start();
    while (handled < kReadsPerTurn) {
        if (handled >= kReadsBeforeBudget && turn.nsecsElapsed() > kTurnBudgetNs) {
            handled = kReadsPerTurn; // the rest next turn
            break;
        }
        if (!backlog.empty()) { // older than what the socket holds
            const QueuedDatagram queued = std::move(backlog.front());
            backlog.pop_front();
            receive(reinterpret_cast<const char *>(queued.bytes), queued.size, queued.sender, queued.port);
            ++handled;
            continue;
        }
        if (batched) {
            const int got = readBatch(buffers, sender, senderV4);
            handled += got;
            if (got == kReadBatch)
                continue;
        }
        // One read through the socket object, also when nothing waits: it
        // tells the object that what it signalled was taken, so that it
        // signals the next datagram (a signal whose datagram was already
        // read elsewhere, by a nested read or a drain, would otherwise be
        // the last one).
        if (udp->state() != QAbstractSocket::BoundState)
            break;
        QHostAddress from;
        quint16 port = 0;
        const qint64 got = readCut(udp, reinterpret_cast<char *>(buffers[0]), &from, &port);
        if (got < 0)
            break;
        deliver(buffers[0], got, from, port);
        ++handled;
    }
    --receiveDepth;
    const bool deferred = receiveDepth == 0 && std::exchange(readAfterNesting, false);
    if (handled >= kReadsPerTurn || deferred) // more may wait: the event loop comes back for them
        readLater();
}

void DatagramSocket::readLater()
{
    // One at a time: a drain after every few hundred writes of a long push
    // would otherwise queue hundreds of reads, each a full turn, ahead of
    // the host's own queued calls and timers.
    if (readQueued)
        return;
    readQueued = true;
    QMetaObject::invokeMethod(owner, readSlot, Qt::QueuedConnection);
}

void DatagramSocket::drain()
{
    // A long run of writes (a list to a thousand clients) reads nothing,
    // and the socket's buffer holds a few hundred datagrams: the REGs,
    // receipts and requests that come meanwhile would be dropped. The
    // backlog keeps them as they will be handed on (opened, with a key).
    writesSinceDrain = 0;
    if (udp->state() != QAbstractSocket::BoundState)
        return;
    ReadBuffer buffer;
    while (backlog.size() < kMaxBacklog && udp->hasPendingDatagrams()) {
        QHostAddress sender;
        quint16 port = 0;
        const qint64 size = readCut(udp, reinterpret_cast<char *>(buffer), &sender, &port);
        if (size < 0)
            break;
        release(buffer, size, sender.toIPv4Address(), port, [&](const unsigned char *data, qint64 n) {
            QueuedDatagram &queued = backlog.emplace_back();
            std::memcpy(queued.bytes, data, size_t(n));
            queued.size = n;
            queued.sender = sender;
            queued.port = port;
        });
    }
    // Outside any handler no wait may come soon: the event loop handles it.
    if (receiveDepth == 0 && !backlog.empty())
        readLater();
}

void *DatagramSocket::stageSlot()
{
    if (stagedCount == int(staged.size()))
        staged.resize(staged.size() + kWriteBatch);
    return staged[size_t(stagedCount)].plain;
}

void DatagramSocket::stage(quint32 address, quint16 port)
{
    Staged &s = staged[size_t(stagedCount++)];
    s.address = address;
    s.port = port;
    s.wireSize = 0;
    if (stagedCount >= kWriteBatch)
        flushStaged();
}

bool DatagramSocket::sealStaged()
{
    // Seals what is not sealed yet (what the system did not take last time
    // is), and leaves out what the gate took: it went in a handshake, or
    // waits for one.
    int kept = 0;
    for (int i = 0; i < stagedCount; ++i) {
        Staged &s = staged[size_t(i)];
        if (s.wireSize == 0) {
            const int size = gate.seal(s.plain, s.address, s.port, s.wire);
            s.wireSize = size > 0 ? size : -1;
        }
        if (s.wireSize < 0)
            continue;
        if (kept != i)
            std::swap(staged[size_t(kept)], s);
        ++kept;
    }
    stagedCount = kept;
    return kept > 0;
}

bool DatagramSocket::flushStaged()
{
    if (stagedCount == 0 || closed) {
        stagedCount = 0;
        return true;
    }
    int done = 0;
    const qintptr fd = udp->socketDescriptor();
    if (platform::udpBatchingAvailable() && !tap && fd >= 0) {
        if (gate.keyed() && !sealStaged())
            return true;
        platform::OutDatagram out[kWriteBatch];
        for (int i = 0; i < stagedCount; ++i) {
            const Staged &s = staged[size_t(i)];
            out[i] = s.wireSize > 0
                         ? platform::OutDatagram{reinterpret_cast<const char *>(s.wire), s.wireSize, s.address, s.port}
                         : platform::OutDatagram{reinterpret_cast<const char *>(s.plain), int(io::kPlainBytes),
                                                 s.address, s.port};
        }
        done = platform::writeDatagrams(fd, out, stagedCount);
    } else {
        for (; done < stagedCount; ++done)
            write(staged[size_t(done)].plain, QHostAddress(staged[size_t(done)].address), staged[size_t(done)].port);
    }
    writesSinceDrain += done;
    if (done < stagedCount) {
        // The socket's buffer is full: what was not taken goes first next time.
        std::move(staged.begin() + done, staged.begin() + stagedCount, staged.begin());
        stagedCount -= done;
        return false;
    }
    stagedCount = 0;
    // A long run of writes reads nothing meanwhile; the socket's buffer holds
    // a few hundred datagrams of the answers and registrations that come.
    if (writesSinceDrain >= kWritesPerDrain)
        drain();
    return true;
}

void DatagramSocket::write(const unsigned char *plain, const QHostAddress &address, quint16 port)
{
    if (closed)
        return;
    const char *bytes = reinterpret_cast<const char *>(plain);
    if (!tap && !gate.keyed()) {
        udp->writeDatagram(bytes, qint64(io::kPlainBytes), address, port);
        return;
    }
    QByteArray datagram(bytes, qsizetype(io::kPlainBytes));
    QHostAddress to = address;
    quint16 toPort = port;
    if (tap) {
        OutgoingTap pass = tap; // a copy: the tap may replace itself
        if (!pass(datagram, to, toPort))
            return;
    }
    if (gate.keyed())
        sealAndWrite(datagram, to, toPort);
    else
        udp->writeDatagram(datagram, to, toPort);
}

void DatagramSocket::sealAndWrite(const QByteArray &plain, const QHostAddress &address, quint16 port)
{
    // A datagram the tap changed in size is not one the channel can seal.
    bool v4 = false;
    const quint32 ip = address.toIPv4Address(&v4);
    if (!v4 || plain.size() != qsizetype(io::kPlainBytes))
        return;
    unsigned char wire[secure::kMaxWireSize];
    const int size = gate.seal(reinterpret_cast<const uint8_t *>(plain.constData()), ip, port, wire);
    if (size > 0 && !closed)
        udp->writeDatagram(reinterpret_cast<const char *>(wire), size, address, port);
}

void DatagramSocket::writeWire(const uint8_t *data, size_t size, quint32 address, quint16 port)
{
    if (!closed)
        udp->writeDatagram(reinterpret_cast<const char *>(data), qint64(size), QHostAddress(address), port);
}

void DatagramSocket::writeNow(const void *datagram, quint32 address, const char *ip, quint16 port)
{
    const auto *plain = static_cast<const unsigned char *>(datagram);
    if (address)
        write(plain, QHostAddress(address), port);
    else
        write(plain, QHostAddress(QString::fromLatin1(ip, qsizetype(strnlen(ip, 16)))), port);
    ++writesSinceDrain;
}
