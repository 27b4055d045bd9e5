#include "unit/mudp_unit.h"

#include <QTimer>
#include <cstring>

#include "io/event_wait.h"
#include "platform/clock.h"
#include "text/fixed_text.h"
#include "transport/send_target.h"
#include "unit/parts.h"

namespace {
constexpr int kTickMs = 2000;
constexpr int kWritesAfterTick = 1024;
} // namespace

MUDPUnit::MUDPUnit(QObject *parent) : QObject(parent)
{
    Parts::Hooks hooks;
    hooks.unitSignals.udpLog = [this](const QString &line) { Q_EMIT udpLog(line); };
    hooks.unitSignals.dataReady = [this](char *data, int size) { Q_EMIT dataReady(data, size); };
    hooks.unitSignals.userListChanged = [this] { Q_EMIT userListChanged(); };
    hooks.unitSignals.clientChanged = [this] { Q_EMIT clientChanged(); };
    hooks.unitSignals.serverChanged = [this](char *ip, unsigned short port, bool deleted) {
        Q_EMIT serverChanged(ip, port, deleted);
    };
    hooks.bufferReady = [this](NOLVUDPBUFFER *buffer, char *ip, unsigned short port) {
        Q_EMIT bufferReadySendToAddr(buffer, ip, port);
    };
    hooks.receive = [this](const char *bytes, qint64 size, const QHostAddress &from, quint16 port) {
        receiveDatagram(bytes, size, from, port);
    };
    hooks.readSocket = [this] { processPendingDatagrams(); };
    p = std::make_unique<Parts>(this, std::move(hooks));
    connect(this, SIGNAL(bufferReadySendToAddr(NOLVUDPBUFFER*,char*,unsigned short)),
            this, SLOT(sendBufferToAddr(NOLVUDPBUFFER*,char*,unsigned short)));
    connect(this, SIGNAL(clientChanged()), this, SLOT(sendNewListToClient()));
    connect(this, SIGNAL(getRecvPacket(NOLVUDPPACKET*,QHostAddress,unsigned short)),
            this, SLOT(processPacket(NOLVUDPPACKET*,QHostAddress,unsigned short)));
    timer = new QTimer(this);
    connect(timer, SIGNAL(timeout()), this, SLOT(timeout()));
    timer->start(kTickMs);
}

MUDPUnit::~MUDPUnit()
{
    timer->stop();
    timer->deleteLater();
    p->stopTimers();
    // The parts go in the reverse order of their making; the QObject base
    // then takes the socket and the timers with it.
    p.reset();
}

void MUDPUnit::shutDown()
{
    if (p->socket.isClosed())
        return;
    timer->stop();
    p->stopTimers();
    p->socket.close();
}

bool MUDPUnit::isEntered() const { return p->life.entered() || p->host.inside(); }

void MUDPUnit::setLocalName(const char *name) { text::copyName(p->self.name, name); }

void MUDPUnit::setLocalAddr(const char *addr) { text::copyText(p->self.addr, addr); }

void MUDPUnit::setHostWindow(HWND window) { p->host.setWindow(window); }

void MUDPUnit::setOutgoingTap(OutgoingTap tap) { p->socket.setOutgoingTap(std::move(tap)); }

bool MUDPUnit::setNetworkKey(const unsigned char *key, int length)
{
    if (length < 0 || (key == nullptr) != (length == 0))
        return false;
    return p->socket.setKey(key, size_t(length));
}

bool MUDPUnit::bindPort(unsigned short port)
{
    if (port == 0)
        return false; // an ephemeral port, which the unit could not declare to peers
    if (!p->socket.bound())
        p->self.boundPort = port; // nothing to keep: the port requested, bound or not
    if (!p->socket.moveToPort(port))
        return false;
    p->self.boundPort = port;
    return true;
}

unsigned short MUDPUnit::autoBind(unsigned short first, unsigned short last)
{
    if (!p->socket.bound())
        p->self.boundPort = 0;
    for (unsigned port = first > 0 ? first : 1u; port < last; ++port) {
        if (p->socket.moveToPort(static_cast<unsigned short>(port))) {
            p->self.boundPort = static_cast<unsigned short>(port);
            return p->self.boundPort;
        }
    }
    return 0;
}

void MUDPUnit::regToServer(const char *serverIp, unsigned short serverPort)
{
    p->registration.regToServer(serverIp, serverPort);
}

void MUDPUnit::unRegFromServer(const char *serverIp, unsigned short serverPort)
{
    p->registration.unRegFromServer(serverIp, serverPort);
}

void MUDPUnit::sendBufferToServer(const char *bytes, int length, const char *ip, unsigned short port,
                                  const char *header)
{
    p->sending.toServer(bytes, length, ip, port, header);
}

void MUDPUnit::sendBufferToClient(const char *bytes, int length, const char *ip, unsigned short port,
                                  const char *header)
{
    p->sending.toClient(bytes, length, ip, port, header);
}

void MUDPUnit::sendDataToLiveUser(const char *data, int size, const char *ip, unsigned short port,
                                  const char *name, const char *serverIp, unsigned short serverPort)
{
    p->relay.sendToLiveUser(data, size, ip, port, name, serverIp, serverPort);
}

PEERINFO *MUDPUnit::exportList(List list, int *count)
{
    const PeerTable &table = list == List::Server   ? p->peers.servers()
                             : list == List::Client ? p->peers.clients()
                                                    : p->peers.liveUsers();
    return p->lists.copy(table, count);
}

char *MUDPUnit::getAddrForPeer() { return p->self.addrForPeer; }

unsigned short MUDPUnit::getPortForPeer() const { return p->self.portForPeer; }

void MUDPUnit::waitWithEvents(int ms) { io::waitWithEvents(ms); }

quint64 MUDPUnit::waitRounds() { return io::waitRounds(); }

bool MUDPUnit::flushQueuedWrites(int ms) { return p->writer.flush(ms); }

bool MUDPUnit::hasQueuedWrites() const { return p->writer.hasQueuedWrites(); }

MUDPUnit::ListPushStats MUDPUnit::listPushStats() const
{
    const ListDiffPush::Stats d = p->diffPush.stats();
    return {p->push.stats().pushes, d.differences, d.wholeLists, d.asked};
}

void MUDPUnit::writeLog(const QString &msg) { p->host.writeLog(msg); }

void MUDPUnit::receiveDatagram(const char *bytes, qint64 size, const QHostAddress &sender, unsigned short port)
{
    Lifetime::Entry entry(p->life);
    if (!bytes || size < static_cast<qint64>(sizeof(NOLVUDPPACKET)))
        return;
    // A private, aligned copy: the handlers run nested and may read the socket.
    NOLVUDPPACKET packet;
    std::memcpy(&packet, bytes, sizeof packet);
    Q_EMIT getRecvPacket(&packet, sender, port);
}

void MUDPUnit::processPendingDatagrams()
{
    Lifetime::Entry entry(p->life);
    if (p->socket.isClosed())
        return;
    p->socket.readPending();
    p->afterReading();
}

void MUDPUnit::processPacket(NOLVUDPPACKET *packet, QHostAddress sender, unsigned short sendport)
{
    Lifetime::Entry entry(p->life);
    p->reassembly.process(packet, sender, sendport);
    if (p->socket.depth() == 0) // handed in directly, not read from the socket
        p->afterReading();
}

void MUDPUnit::sendBufferToAddr(NOLVUDPBUFFER *buffer, char *IP, unsigned short port)
{
    Lifetime::Entry entry(p->life);
    if (!buffer || !IP)
        return;
    p->sends.sendTo(buffer, {SendTarget(IP, port)});
}

void MUDPUnit::sendProtocol(char *data, char *destIP, unsigned short port, int defaultsize)
{
    Lifetime::Entry entry(p->life);
    p->controls.send(data, destIP, port, defaultsize);
}

void MUDPUnit::returnRequestedPacket(NOLVUDPPACKET *packet, char *destIP, unsigned short port)
{
    Lifetime::Entry entry(p->life);
    if (!packet || !destIP)
        return;
    NOLVUDPPACKET copy = *packet;
    p->controls.writeSingle(copy, destIP, port);
}

void MUDPUnit::timeout()
{
    Lifetime::Entry entry(p->life);
    if (timeoutBusy)
        return;
    timeoutBusy = true;
    p->recoveryPass.expireRecords(); // checkRecvBuffers
    p->sends.tick();                 // resendRecords
    p->heartbeat.tick();             // heartbeatTick
    p->diffMerge.checkHeld();        // gaps in user lists that no later difference showed
    p->paths.forgetIdleRates(platform::monotonicUs());
    timeoutBusy = false;
    if (p->writer.hasQueuedWrites())
        p->writer.writeWhatIsDue(kWritesAfterTick);
}

void MUDPUnit::sendNewListToClient() { p->push.clientsChanged(); }

void MUDPUnit::rebuildLiveUserByServer(char *IP, unsigned short port, bool deleted)
{
    Lifetime::Entry entry(p->life);
    if (deleted)
        p->peers.dropLiveUsersOf(IP, port);
}
