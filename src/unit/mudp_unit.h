// MUDPUnit: the façade of one peer. It keeps the unit's public surface (the
// operations behind the exports, the signals and slots of its meta-object,
// its timer) and holds the parts that do the work (unit/parts.h); each slot
// and operation hands on to the part that owns what it touches. The signals
// and the host-window messages are how the host learns of data, log lines
// and list changes.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <memory>

#include "io/outgoing_tap.h"
#include "mudp.h"
#include "transport/wire.h"

class QTimer;
struct Parts;

class MUDP_API MUDPUnit : public QObject {
    Q_OBJECT
    friend struct UnitInspector; // the tests' hooks: signals, the tick and its flag

public:
    explicit MUDPUnit(QObject *parent = nullptr);
    ~MUDPUnit() override;

    // Identity and socket.
    void setLocalName(const char *name);
    void setLocalAddr(const char *addr);
    bool bindPort(unsigned short port);
    unsigned short autoBind(unsigned short first, unsigned short last);
    void setHostWindow(HWND window);

    // Registration (client side); both block, processing events.
    void regToServer(const char *serverIp, unsigned short serverPort);
    void unRegFromServer(const char *serverIp, unsigned short serverPort);

    // Sending a block as a buffered message; header null means "DATA$name".
    // An address of "0.0.0.0" sends to every server (client) in the list.
    // The block is copied and queued: the call returns at once, and the event
    // loop writes the packets at each destination's pace.
    void sendBufferToServer(const char *bytes, int length, const char *ip, unsigned short port,
                            const char *header);
    void sendBufferToClient(const char *bytes, int length, const char *ip, unsigned short port,
                            const char *header);
    void sendDataToLiveUser(const char *data, int size, const char *ip, unsigned short port,
                            const char *name, const char *serverIp, unsigned short serverPort);

    // List export: a flat copy of one table, owned by the unit.
    enum class List { Server, Client, LiveUser };
    PEERINFO *exportList(List list, int *count);
    char *getAddrForPeer();
    unsigned short getPortForPeer() const;

    // Processes pending events and sleeps 2 ms in turns until ms have passed.
    // Each round also reads the sockets of units that are handling one of
    // their own datagrams, which the event loop leaves unread meanwhile.
    static void waitWithEvents(int ms);
    // Rounds of waitWithEvents run on this thread so far.
    static quint64 waitRounds();

    // Lets queued writes go out, processing events, for at most ms
    // milliseconds; whether nothing is left to write.
    bool flushQueuedWrites(int ms);
    bool hasQueuedWrites() const;

    // What the user-list pushes of this unit (as a server) have cost so far.
    struct ListPushStats {
        qint64 pushes = 0;      // whole lists to the clients that are not our units
        qint64 differences = 0; // differences to our units
        qint64 wholeLists = 0;  // whole lists to our units
        qint64 asked = 0;       // of them, asked for again
    };
    ListPushStats listPushStats() const;

    // One log line: time prefix, udpLog, and WM_UDP_LOG to the host window.
    void writeLog(const QString &msg);

    // Hands one received datagram of `size` bytes to the dispatcher; shorter
    // datagrams are dropped, longer ones read as their first 548 bytes.
    void receiveDatagram(const char *bytes, qint64 size, const QHostAddress &sender, unsigned short port);

    // Every datagram the unit writes passes the tap first (tests, the fuzzer);
    // with a network key, the tap sees the plain datagram, before it is sealed.
    void setOutgoingTap(OutgoingTap tap);

    // A 32-byte network key, or (null, 0) for none; false for another length.
    bool setNetworkKey(const unsigned char *key, int length);

    // Whether code of the unit is running below the caller (a notification
    // of the host, a signal's slot): the unit must not be freed now.
    bool isEntered() const;
    // Ends the unit's work at once, for an end while it is entered: its
    // timers stop, its port is free and nothing more is read or written. The
    // object itself is freed later, once nothing runs on it.
    void shutDown();

    // The parts behind the façade, for tests and tools.
    Parts &parts() const { return *p; }

protected:
    Q_SIGNAL void dataReady(char *data, int size);
    Q_SIGNAL void userListChanged();
    Q_SIGNAL void udpLog(QString msg);
    Q_SIGNAL void clientChanged();
    Q_SIGNAL void serverChanged(char *IP, unsigned short port, bool deleted);
    Q_SIGNAL void bufferReadySendToAddr(NOLVUDPBUFFER *buffer, char *destIP, unsigned short destPort);
    Q_SIGNAL void getRecvPacket(NOLVUDPPACKET *packet, QHostAddress sender, unsigned short sendport);

private Q_SLOTS:
    void processPendingDatagrams();
    void sendBufferToAddr(NOLVUDPBUFFER *buffer, char *IP = const_cast<char *>("0.0.0.0"),
                          unsigned short port = 45454);
    void sendProtocol(char *data, char *destIP, unsigned short port, int defaultsize = 0);
    void returnRequestedPacket(NOLVUDPPACKET *packet, char *destIP, unsigned short port);
    void processPacket(NOLVUDPPACKET *packet, QHostAddress sender = QHostAddress(QStringLiteral("0.0.0.0")),
                       unsigned short sendport = 45454);
    void timeout();
    void sendNewListToClient();
    void rebuildLiveUserByServer(char *IP, unsigned short port, bool deleted);

private:
    std::unique_ptr<Parts> p;
    QTimer *timer;
    bool timeoutBusy = false;
};
