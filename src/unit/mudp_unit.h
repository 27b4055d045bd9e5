// MUDPUnit: the one object that holds a peer's socket, timer, tables and
// identity. Its slots are the protocol engine; its signals and the host-window
// messages are how the host learns of data, log lines and list changes.
#pragma once

#include <QHostAddress>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QString>
#include <deque>

#include "mudp.h"
#include "registry/pending_registrations.h"
#include "text/log_throttle.h"
#include "text/text_converter.h"
#include "transport/identity.h"
#include "transport/path_mark.h"
#include "transport/peer_path.h"
#include "transport/receive_budget.h"
#include "transport/record_keys.h"
#include "transport/wire.h"
#include "unit/graveyard.h"
#include "unit/record_table.h"

class QTimer;
class QUdpSocket;
namespace transport {
class LossReportWriter;
}
struct SendTarget;
struct Message;

using BufferTable = RecordTable<NOLVUDPBUFFER, MessageKey>;
using SendRecordTable = RecordTable<SENDRECORD, MessageKey>;
using PeerTable = RecordTable<PEERINFO, QByteArray>;

class MUDP_API MUDPUnit : public QObject {
    Q_OBJECT
    friend struct UnitInspector; // white-box access for the tests

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

    // List export: a flat copy of one table in listScratch.
    enum class List { Server, Client, LiveUser };
    PEERINFO *exportList(List list, int *count);
    char *getAddrForPeer() { return addrForPeer; }
    unsigned short getPortForPeer() const { return portForPeer; }

    // Processes pending events and sleeps 2 ms in turns until ms have passed.
    // Each round also reads the sockets of units that are handling one of
    // their own datagrams, which the event loop leaves unread meanwhile.
    static void waitWithEvents(int ms);

    // Lets queued writes go out, processing events, for at most ms
    // milliseconds; whether nothing is left to write.
    bool flushQueuedWrites(int ms);
    bool hasQueuedWrites() const { return !activePaths.isEmpty(); }

    // Rounds of waitWithEvents run on this thread so far.
    static quint64 waitRounds();

    // What the user-list pushes of this unit (as a server) have cost so far.
    struct ListPushStats {
        qint64 pushes = 0;
    };
    ListPushStats listPushStats() const { return pushStats; }

    // One log line: time prefix, udpLog, and WM_UDP_LOG to the host window.
    void writeLog(const QString &msg);

    // Hands one received datagram of `size` bytes to the dispatcher; shorter
    // datagrams are dropped, longer ones read as their first 548 bytes.
    void receiveDatagram(const char *bytes, qint64 size, const QHostAddress &sender, unsigned short port);

    // Whether code of the unit is running below the caller (a notification
    // of the host, a signal's slot): the unit must not be freed now.
    bool isEntered() const { return entryDepth > 0 || hostDepth > 0; }
    // Ends the unit's work at once, for an end while it is entered: its
    // timers stop, its port is free and nothing more is read or written. The
    // object itself is freed later, once nothing runs on it.
    void shutDown();

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
    // Marks the unit as entered for as long as it lives: records the tables
    // let go of meanwhile are freed when the outermost entry returns, or at
    // the end of a round of a wait that began before they were made.
    struct EntryGuard {
        explicit EntryGuard(MUDPUnit &unit) : unit(unit) { ++unit.entryDepth; }
        ~EntryGuard();
        EntryGuard(const EntryGuard &) = delete;
        EntryGuard &operator=(const EntryGuard &) = delete;
        MUDPUnit &unit;
    };
    void retire(NOLVUDPBUFFER *buffer);
    void retire(SENDRECORD *record);
    void retire(PEERINFO *peer);
    // Frees, on every unit of this thread, what was let go of and made in
    // wait generation `bornSince` or later (at the end of a wait's round).
    static void freeBornSince(quint64 bornSince);

    // Binds a new socket to port and moves the unit to it; on failure the
    // socket it had stays (unit/mudp_unit.cpp).
    bool moveToPort(unsigned short port);
    void forgetIdleRates();

    // Single datagrams and buffers (transport/send.cpp).
    void sendText(const QByteArray &message, const char *destIP, unsigned short port, int size = 0);
    void fillProtocolPacket(NOLVUDPPACKET &packet, const char *data, size_t size); // takes the next identity
    NOLVUDPBUFFER *buildBuffer(const char *bytes, int length, const char *header);
    // Returns the identity of the message built (date and time 0 when none).
    MessageKey sendBufferToList(PeerTable &table, const char *bytes, int length, const char *ip,
                                unsigned short port, const char *header);
    // Writes one datagram now, marked for its destination (transport/writer.cpp).
    void writeSingle(NOLVUDPPACKET &packet, const char *destIP, unsigned short port);

    // Send records and queues (transport/send_queueing.cpp).
    void sendBufferToAddrs(NOLVUDPBUFFER *buffer, const QList<SendTarget> &destinations);
    bool makeRoomForBuffer(qint64 bytes);
    PeerPath *sendingPath(const char *ip, unsigned short port);
    PeerPath *obtainPath(quint32 address, quint16 port, int64_t nowUs, bool forSending);
    // Queues packet `index` (0-based) of a held buffer again to ip:port.
    bool queueResend(const NOLVUDPBUFFER *buffer, int index, const char *ip, unsigned short port);
    bool queueResend(const NOLVUDPBUFFER *buffer, int index, PeerPath *path);
    // Queues packet `index` (0-based) as the answer to a request or report:
    // not again within the path's round trip; false when not queued now.
    bool queueAnswer(const NOLVUDPBUFFER *buffer, int index, PeerPath *path);
    // Queues a REQUEST for packet `index` (1-based) of ip:port's message;
    // false when one already waits.
    bool queueRequest(int32_t date, int32_t time, int index, const char *ip, unsigned short port);
    // The record's packets are no longer to be written (acknowledged, given
    // up, or all written).
    void endWriting(SENDRECORD *record);
    void activate(PeerPath *path);

    // The writer (transport/writer.cpp): the destinations' queues written at
    // their pace, from the event loop, in batches.
    void runWriter();
    void writeWhatIsDue(int maxWrites);
    int writePath(PeerPath *path, int64_t nowUs, int maxWrites, int64_t &nextDueUs);
    int writeRequests(PeerPath *path, int64_t nowUs, int maxWrites);
    int writeLegacyRound(PeerPath *path, int64_t nowUs, int maxWrites);
    int writeAtRate(PeerPath *path, int64_t nowUs, int maxWrites, int64_t &nextDueUs);
    bool writeNext(PeerPath *path, int64_t nowUs, bool paced, int jobLimit);
    bool writeJobPacket(PeerPath *path, SENDRECORD *record, int64_t nowUs, bool paced);
    uint32_t stagePaced(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs, bool paced); // its number
    NOLVUDPPACKET &stageSlot();
    void stage(const PeerPath *path);
    bool flushStaged();
    void writeDatagram(const NOLVUDPPACKET &packet, const QHostAddress &address, quint16 port);
    void armWriter(int64_t dueUs);
    // The mark of a single datagram: feedback for a sender we owe it, a
    // number for a destination not yet proven, else an unnumbered data mark.
    void markFeedback(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs);
    void markProbe(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs);
    void writeSingleNow(const NOLVUDPPACKET &packet, quint32 address, const char *destIP, unsigned short port);

    // Receiving and dispatch (transport/receive.cpp, transport/dispatch.cpp).
    static void readNestedSockets();
    // Takes what waits in the socket into the backlog, for the next wait to
    // handle.
    void drainSocket();
    void afterReading();
    bool readPacket(NOLVUDPPACKET *packet, Message &m); // checks, marks; false: dropped
    NOLVUDPBUFFER *fileIntoRecord(Message &m, bool &onePacket, bool &sharesIdentity);
    void handleRepeat(Message &m, NOLVUDPBUFFER *record);
    void deliver(Message &m, bool onePacket, bool sharesIdentity);
    void dispatch(Message &m);
    void handleData(Message &m);
    void handleUnknownWord(Message &m);
    void acknowledge(Message &m);
    void sendReceived(int32_t date, int32_t time, int total, const char *ip, unsigned short port);

    // Feedback between our own units (transport/feedback.cpp).
    void noteMark(Message &m);
    void noteMessageDatagram(Message &m, NOLVUDPBUFFER *record);
    bool noteFeedback(PeerPath *path, const mark::Mark &mark, int64_t nowUs); // whether it proved itself
    void noteUnprovenFeedback(const Message &m, int64_t nowUs);
    void sendDueFeedback();
    void sendFeedback(PeerPath *path, int64_t nowUs, transport::LossReportWriter *report);
    void handleFeedback(Message &m);
    int64_t feedbackDueUs(const PeerPath *path) const;

    // Reliability (transport/reliability.cpp).
    void checkRecvBuffers();
    void resendRecords();
    void handleRequest(Message &m);
    void handleReceived(Message &m);
    void handleDataFail(Message &m);
    NOLVUDPBUFFER *findSentBuffer(int32_t date, int32_t time) const;
    NOLVUDPBUFFER *findRecvBuffer(const char *ip, int32_t date, int32_t time, unsigned short port) const;
    SENDRECORD *findSendRecord(int32_t date, int32_t time, const char *ip, unsigned short port) const;
    SENDRECORD *markSendRecordDone(const Message &m); // the record a reply names, marked done
    // Answers a request for packet `index` (1-based) of a held buffer from
    // the source of m; false when it is not answered.
    enum class Answer { Queued, NotHeld, NotReceiver, NotOwed, NotWrittenYet, AnsweredLately };
    Answer answerRequest(const Message &m, int32_t date, int32_t time, int index);
    // Whether packet `index` (1-based) of `buffer` is owed to the source of
    // m: sent there, with a send record to it not yet settled (`record`).
    Answer owedTo(const Message &m, int32_t date, int32_t time, int index, const NOLVUDPBUFFER *buffer,
                  SENDRECORD *&record) const;
    // Whether proven feedback since `sinceUs` named this send's numbers or
    // later ones.
    bool heardSince(const SENDRECORD *record, int64_t sinceUs) const;
    int64_t receiptIntervalUs(const NOLVUDPBUFFER *record) const;

    // Loss recovery between ticks (transport/loss_recovery.cpp): prompt,
    // repeated lost-packet requests and early resends of packet 1.
    void noteSenderDone(NOLVUDPBUFFER *record);
    void noteArrival(NOLVUDPBUFFER *record, int index);
    void noteSendWritten(SENDRECORD *record);
    void noteDestinationHeard(SENDRECORD *record, bool acknowledged);
    void lossRecoveryPass();
    int requestLostPackets(NOLVUDPBUFFER *record, int64_t now, int budget);
    int reportLostPackets(NOLVUDPBUFFER *record, PeerPath *path, int64_t nowUs, transport::LossReportWriter &report);
    void resendEarly(SENDRECORD *record);
    int64_t recoveryDue(const NOLVUDPBUFFER *record) const;
    int64_t earlyResendDue(const SENDRECORD *record) const;
    bool reportsLoss(const NOLVUDPBUFFER *record) const; // its sender takes ranges in FEEDBACK
    void armLossTimer(int64_t dueMs);
    void rearmLossTimer();

    // Peer tables (registry/peer_tables.cpp).
    PEERINFO *findServer(const char *ip, unsigned short port, const char *name) const;
    PEERINFO *findClient(const char *ip, unsigned short port, const char *name) const;
    PEERINFO *findLiveUser(const char *ip, unsigned short port, const char *name, const char *serverIp,
                           unsigned short serverPort) const;
    void notifyListChanged(int code);
    void notifyServerAdded(PEERINFO *server);

    // Registration (registry/registration.cpp).
    void handleReg(Message &m);
    void handleUnreg(Message &m);
    void handleRegAcc(Message &m);
    void handleUnregAcc(Message &m);
    void handleRegDup(Message &m);
    void handleUnknown(Message &m);
    PEERINFO *newPeerRecord(const Message &m) const;

    // Heartbeat (registry/heartbeat.cpp).
    void heartbeatTick();
    void sendRetryAlives();
    void handleAlive(Message &m);
    void handleReAlive(Message &m);

    // User lists (registry/peer_list.cpp).
    void handlePeerList(Message &m);
    void mergePeerList(const char *records, int count, const char *serverIp, unsigned short serverPort);
    void pushListOnce();
    bool pushBeingWritten() const;
    void notePushWritten(const SENDRECORD *record);
    void retireSupersededLists();
    // Marks incoming user lists older than another from the same source.
    void noteListRecord(NOLVUDPBUFFER *record);
    void forgetListOrder(const char *ip, unsigned short port);

    // Hole punching and relay (traversal/).
    bool holeToLiveUser(const char *ip, unsigned short port, const char *name, const char *serverIp,
                        unsigned short serverPort);
    void handleTransHole(Message &m);
    void handleHoleReq(Message &m);
    void handleHoleReg(Message &m);
    void handleHoleAcc(Message &m);
    void handleHoleTest(Message &m);
    void handleTrans(Message &m);

    // Log and host window (text/log.cpp, unit/mudp_unit.cpp).
    QString name(const QByteArray &gb18030);
    QString peerName(const PEERINFO *peer);
    QString peerLabel(const PEERINFO *peer); // "name ip:port"
    static QString endpointLabel(const char *ip, unsigned short port); // "ip:port"
    static QString sourceLabel(const Message &m); // "ip:port" of the datagram
    static QString fromLabel(const char *ip);     // " From:" and an address text
    static QString fromSource(const Message &m);  // " From:" and "ip:port" of the datagram
    void notifyHost(UINT message, WPARAM wParam, LPARAM lParam);
    void releaseListScratch(); // frees listScratch, or keeps it while a host message runs
    void freeRetiredLists();

    using Handler = void (MUDPUnit::*)(Message &);
    static const Handler kHandlers[20]; // one per protocol word, in table order

    BufferTable sentBuffers;     // outgoing messages, at most 500
    BufferTable recvBuffers;     // incoming messages under reassembly or kept
    SendRecordTable sendRecords; // sends awaiting RECEIVED
    PeerTable serverList;        // servers this unit is registered with
    PeerTable clientList;        // clients registered with this unit
    PeerTable liveUserList;      // users the servers reported
    PendingRegistrations pendingRegistrations; // REGs awaiting REGACC
    unsigned short boundPort;
    MessageIdentity lastIdentity{}; // of the last message sent
    char localAddr[16];
    char localName[40];
    char addrForPeer[16];
    unsigned short portForPeer;
    QUdpSocket *sendSocket;
    QUdpSocket *recvSocket;
    bool portBound = false; // bindPort or autoBind has bound recvSocket
    QMutex bufferMutex;
    QTimer *timer;
    bool timeoutBusy;
    TextConverter textConverter;
    int heartbeatTicks;
    PEERINFO *listScratch;           // the array of the host's last list call
    QList<PEERINFO *> retiredLists;  // earlier arrays, kept while a host message runs
    int hostDepth = 0;               // nesting of host window messages
    int peerListCount;
    HWND hostWindow;
    ReceiveBudget recvBudget; // what the records in recvBuffers hold
    int receiveDepth = 0;     // nesting of processPendingDatagrams
    struct QueuedDatagram {
        NOLVUDPPACKET packet;
        qint64 size;
        QHostAddress sender;
        quint16 port;
    };
    std::deque<QueuedDatagram> backlog; // read during long runs of writes, handled first
    int writesSinceDrain = 0;
    QTimer *lossTimer;        // single shot, armed for the next recovery work
    bool lossPassBusy = false;
    int64_t answerDelayMs = 0; // smoothed delay from a request round to its first answer
    int64_t ackDelayMs = 0;    // smoothed delay from the last write of a message to its RECEIVED
    QSet<const PEERINFO *> unansweredHeartbeats; // server entries whose last ALIVE got no RE_ALIVE
    QList<QPair<QByteArray, unsigned short>> pendingAlives; // second ALIVEs of a tick, sent a little later
    QTimer *aliveRetryTimer;
    int entryDepth = 0;                      // EntryGuards alive
    Graveyard graveyard;                     // let go of while entered
    PathTable paths;                         // what the transport knows per peer endpoint
    QList<PeerPath *> activePaths;           // paths with something to write, in turn order
    QList<quint64> feedbackOwed;             // paths whose feedback is due after this read
    QTimer *writerTimer;                     // single shot, armed for the next due write
    std::unique_ptr<Pacer> startPacer;       // the first window that paths without feedback share
    bool writerBusy = false;
    quint64 writerTurn = 0;                  // which active path starts the next run
    qint64 sentBytes = 0;                    // what sentBuffers hold
    int64_t lastTickUs = 0;                  // when the timer jobs last ran
    uint64_t lossPassTurn = 0;               // where the next recovery pass starts
    struct Staged {
        NOLVUDPPACKET packet;
        quint32 address;
        quint16 port;
    };
    std::vector<Staged> staged;              // datagrams written together
    int stagedCount = 0;
    bool pushRunning = false;                // a user-list push is being queued
    MessageKey currentPush;                  // identity of the last push
    bool pushPending = false;                // the client list changed during it
    QList<MessageKey> recentLists;           // identities of the last pushes, newest last
    ListPushStats pushStats;
    LogThrottle logThrottle;                 // log lines that forged datagrams could cause
    bool closed = false;                     // shut down: nothing is read or written
    struct ListsFrom {              // the order of one server's user lists, by "ip:port"
        bool merged = false;
        qint64 newestMerged = 0;    // identity of the newest list merged, in ms
        QList<MessageKey> incomplete; // its lists still arriving
    };
    QHash<QByteArray, ListsFrom> listsFrom;
};
