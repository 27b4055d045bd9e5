#include "unit/mudp_unit.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QUdpSocket>
#include <QVariant>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/host_window.h"
#include "registry/peer_keys.h"
#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/datagram_tap.h"
#include "transport/unit_registry.h"

MUDPUnit::MUDPUnit(QObject *parent)
    : QObject(parent),
      sentBuffers(sentBufferKey),
      recvBuffers(recvBufferKey),
      sendRecords(sendRecordKey),
      serverList(peerAddressKey),
      clientList(peerNameKey),
      liveUserList(peerEndpointKey),
      boundPort(45454),
      localAddr{},
      localName{},
      addrForPeer{},
      portForPeer(0),
      textConverter()
{
    sendSocket = recvSocket = new QUdpSocket(this);
    connect(recvSocket, SIGNAL(readyRead()), this, SLOT(processPendingDatagrams()));
    connect(this, SIGNAL(bufferReadySendToAddr(NOLVUDPBUFFER*,char*,unsigned short)),
            this, SLOT(sendBufferToAddr(NOLVUDPBUFFER*,char*,unsigned short)));
    connect(this, SIGNAL(clientChanged()), this, SLOT(sendNewListToClient()));
    connect(this, SIGNAL(getRecvPacket(NOLVUDPPACKET*,QHostAddress,unsigned short)),
            this, SLOT(processPacket(NOLVUDPPACKET*,QHostAddress,unsigned short)));
    timer = new QTimer(this);
    connect(timer, SIGNAL(timeout()), this, SLOT(timeout()));
    timer->start(2000);
    lossTimer = new QTimer(this);
    lossTimer->setSingleShot(true);
    lossTimer->setTimerType(Qt::PreciseTimer);
    connect(lossTimer, &QTimer::timeout, this, [this] { lossRecoveryPass(); });
    writerTimer = new QTimer(this);
    writerTimer->setSingleShot(true);
    writerTimer->setTimerType(Qt::PreciseTimer);
    connect(writerTimer, &QTimer::timeout, this, [this] { runWriter(); });
    aliveRetryTimer = new QTimer(this);
    aliveRetryTimer->setSingleShot(true);
    connect(aliveRetryTimer, &QTimer::timeout, this, [this] {
        EntryGuard guard(*this);
        sendRetryAlives();
    });
    registerUnit(this);
    timeoutBusy = false;
    listScratch = nullptr;
    hostWindow = nullptr;
    heartbeatTicks = 0;
    peerListCount = 0;
}

void MUDPUnit::shutDown()
{
    if (closed)
        return;
    closed = true;
    unregisterUnit(this);
    for (QTimer *t : {timer, lossTimer, writerTimer, aliveRetryTimer})
        t->stop();
    recvSocket->disconnect(this);
    recvSocket->close();
    stagedCount = 0;
    backlog.clear();
}

MUDPUnit::~MUDPUnit()
{
    unregisterUnit(this);
    transport::clearOutgoingTap(this);
    timer->stop();
    timer->deleteLater();
    lossTimer->stop();
    writerTimer->stop();
    aliveRetryTimer->stop();
    sendSocket->deleteLater();
    activePaths.clear();
    paths.clear();
    for (NOLVUDPBUFFER *b : sentBuffers.takeAll())
        freeBuffer(b);
    for (NOLVUDPBUFFER *b : recvBuffers.takeAll())
        freeBuffer(b);
    for (SENDRECORD *r : sendRecords.takeAll())
        delete r;
    for (PeerTable *table : {&serverList, &clientList, &liveUserList})
        for (PEERINFO *p : table->takeAll())
            delete p;
    graveyard.release();
    std::free(listScratch);
    listScratch = nullptr;
    freeRetiredLists();
    // The converter, the mutex, the tables and then the QObject base (with the
    // socket and timer as children) go with the members.
}

void MUDPUnit::setLocalName(const char *name) { text::copyName(localName, name); }

void MUDPUnit::setLocalAddr(const char *addr) { text::copyText(localAddr, addr); }

void MUDPUnit::setHostWindow(HWND window) { hostWindow = window; }

namespace {
// The socket is not read while one of its own datagrams is being handled,
// and a fast sender fills it quickly: both directions get room (the system
// caps this at its own limit).
constexpr int kSocketBufferBytes = 4 * 1024 * 1024;
// A path idle this long lets its rate controller go.
constexpr int64_t kIdleRateUs = 60ll * 1000 * 1000;
} // namespace

MUDPUnit::EntryGuard::~EntryGuard()
{
    if (--unit.entryDepth == 0) {
        unit.graveyard.release();
        unit.paths.releaseEvicted();
    }
}

void MUDPUnit::retire(NOLVUDPBUFFER *buffer)
{
    if (entryDepth > 0)
        graveyard.add(buffer);
    else
        freeBuffer(buffer);
}

void MUDPUnit::retire(SENDRECORD *record)
{
    if (entryDepth > 0)
        graveyard.add(record);
    else
        delete record;
}

void MUDPUnit::retire(PEERINFO *peer)
{
    if (entryDepth > 0)
        graveyard.add(peer);
    else
        delete peer;
}

void MUDPUnit::forgetIdleRates()
{
    // A controller holds the send records of thousands of datagrams: a
    // server of many clients keeps one only for those it talks to lately.
    const int64_t now = platform::monotonicUs();
    paths.forEach([now](PeerPath *path) {
        if (path->rate && !path->active && now - path->lastUsedUs > kIdleRateUs) {
            path->rate.reset();
            path->pacer.reset();
        }
    });
}

bool MUDPUnit::flushQueuedWrites(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (hasQueuedWrites() && clock.elapsed() < ms)
        waitWithEvents(2);
    return !hasQueuedWrites();
}

bool MUDPUnit::moveToPort(unsigned short port)
{
    if (portBound && recvSocket->localPort() == port)
        return true;
    // The new socket binds first, so that a failure leaves the working one.
    // Binding is exclusive: a port that another socket holds is refused, even
    // when that socket allowed address reuse.
    auto *socket = new QUdpSocket(this);
    if (!socket->bind(QHostAddress::AnyIPv4, port, QAbstractSocket::DontShareAddress)) {
        delete socket;
        return false;
    }
    socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kSocketBufferBytes);
    socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSocketBufferBytes);
    connect(socket, SIGNAL(readyRead()), this, SLOT(processPendingDatagrams()));
    QUdpSocket *old = recvSocket;
    sendSocket = recvSocket = socket;
    old->disconnect(this);
    old->close();
    old->deleteLater(); // a handler of its datagrams may be running below
    portBound = true;
    return true;
}

bool MUDPUnit::bindPort(unsigned short port)
{
    if (port == 0)
        return false; // an ephemeral port, which the unit could not declare to peers
    if (!portBound)
        boundPort = port; // nothing to keep: the port requested, bound or not
    if (!moveToPort(port))
        return false;
    boundPort = port;
    return true;
}

unsigned short MUDPUnit::autoBind(unsigned short first, unsigned short last)
{
    if (!portBound)
        boundPort = 0;
    for (unsigned port = first > 0 ? first : 1u; port < last; ++port) {
        if (moveToPort(static_cast<unsigned short>(port))) {
            boundPort = static_cast<unsigned short>(port);
            return boundPort;
        }
    }
    return 0;
}

void MUDPUnit::timeout()
{
    EntryGuard guard(*this);
    if (timeoutBusy)
        return;
    timeoutBusy = true;
    checkRecvBuffers();
    resendRecords();
    heartbeatTick();
    forgetIdleRates();
    timeoutBusy = false;
    if (!activePaths.isEmpty())
        writeWhatIsDue(1024);
}

void MUDPUnit::notifyHost(UINT message, WPARAM wParam, LPARAM lParam)
{
    ++hostDepth;
    platform::sendWindowMessage(hostWindow, message, wParam, lParam);
    if (--hostDepth == 0)
        freeRetiredLists();
}

void MUDPUnit::freeRetiredLists()
{
    for (PEERINFO *list : retiredLists)
        std::free(list);
    retiredLists.clear();
}
