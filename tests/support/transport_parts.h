// The transport's parts wired together without a unit or a socket: what they
// write goes to a fake DatagramOut, time is a clock the test steps, and the
// host's side of the bridge is a list of log lines. Tests drive one side
// through its interface (the writer and send records, reassembly and loss
// recovery) and read the other off the fake.
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <algorithm>
#include <functional>

#include "core/alarm.h"
#include "core/host_bridge.h"
#include "core/lifetime.h"
#include "io/datagram_out.h"
#include "support/manual_clock.h"
#include "support/peer.h"
#include "transport/dispatcher.h"
#include "transport/endpoint.h"
#include "transport/local_identity.h"
#include "transport/message.h"
#include "transport/path/path_table.h"
#include "transport/receive/feedback_giver.h"
#include "transport/receive/incoming_records.h"
#include "transport/receive/loss_recovery.h"
#include "transport/receive/reassembly.h"
#include "transport/recovery_pass.h"
#include "transport/send/control_sender.h"
#include "transport/send/outgoing_messages.h"
#include "transport/send/path_writer.h"
#include "transport/send/send_records.h"
#include "transport/send/send_replies.h"
#include "transport/send/writer.h"
#include "transport/send_target.h"
#include "transport_packets.h"

// The socket's place: every datagram written, in order, with its destination.
struct FakeOut final : DatagramOut, tp::SentLog {
    void *stageSlot() override { return &slot; }
    void stage(quint32 address, quint16 port) override
    {
        staged.append({tp::bytesOf(slot), QHostAddress(address), port});
    }
    bool flushStaged() override
    {
        sent += staged;
        staged.clear();
        return true;
    }
    void writeNow(const void *datagram, quint32 address, const char *ip, quint16 port) override
    {
        sent.append(
            {tp::bytesOf(*static_cast<const NOLVUDPPACKET *>(datagram)), address ? QHostAddress(address) : QHostAddress(QString::fromLatin1(ip)), port});
    }

private:
    NOLVUDPPACKET slot{};
    QList<tp::Sent> staged;
};

struct TransportParts {
    explicit TransportParts(const char *name = "self")
    {
        pathWriter.setEvents({[this](SENDRECORD *record) { sends.noteWritten(record); }, [](const SENDRECORD *) {}});
        dispatcher.on(Word::Received, [this](Message &m) { replies.handleReceived(m); });
        dispatcher.on(Word::Request, [this](Message &m) { replies.handleRequest(m); });
        dispatcher.on(Word::DataFail, [this](Message &m) { replies.handleDataFail(m); });
        dispatcher.on(Word::Data, [this](Message &m) { reassembly.handleData(m); });
        std::strncpy(self.name, name, sizeof self.name - 1);
        std::strcpy(self.addr, "127.0.0.2");
    }

    // Hands one datagram in as read from ip:port.
    void receive(NOLVUDPPACKET packet, const QHostAddress &from, unsigned short port)
    {
        Lifetime::Entry entry(life);
        reassembly.process(&packet, from, port);
        feedback.sendDue();
        if (writer.hasQueuedWrites())
            writer.writeWhatIsDue(1024);
    }
    // Lets the writer write all it has queued, a round of 2 ms at a time.
    void writeQueued()
    {
        for (int round = 0; round < 100000 && writer.hasQueuedWrites(); ++round) {
            clock.advance(2);
            writer.run();
        }
    }
    int countLogs(const QString &prefix) const
    {
        return int(std::count_if(logs.begin(), logs.end(),
                                 [&](const QString &l) { return QStringView(l).mid(9).startsWith(prefix); }));
    }
    bool hasLog(const QString &prefix) const { return countLogs(prefix) > 0; }
    // The transport's jobs of the unit's tick, in its order.
    void tick()
    {
        Lifetime::Entry entry(life);
        recoveryPass.expireRecords();
        sends.tick();
    }
    // A message of `bytes` sent to each of `destinations`.
    NOLVUDPBUFFER *send(const QByteArray &bytes, const QList<SendTarget> &destinations)
    {
        Lifetime::Entry entry(life);
        NOLVUDPBUFFER *b = outgoing.build(bytes.constData(), int(bytes.size()), nullptr);
        sends.sendTo(b, destinations);
        return b;
    }

    struct Application {
        Application() { ensureApplication(); } // the writer's and the alarm's timers need one
    } application;
    ManualClock clock;
    QObject owner;
    QStringList logs;           // as written, most with "hh:mm:ss:" before them
    QList<QByteArray> received; // data handed to the host
    std::function<void(const QByteArray &data)> onData;
    Lifetime life;
    HostBridge host{{[this](const QString &line) { logs << line; },
                     [this](char *data, int size) {
                         received << QByteArray(data, size);
                         if (onData)
                             onData(received.last());
                     },
                     [] {}, [] {}, [](char *, unsigned short, bool) {}}};
    LocalIdentity self;
    Alarm alarm{&owner, 2000};
    FakeOut out;
    PathTable paths{life};
    OutgoingMessages outgoing{self, host, life};
    PathWriter pathWriter{self, outgoing, paths, out};
    Writer writer{&owner, paths, pathWriter, out, life};
    ControlSender controls{self, paths, out};
    SendRecords sends{outgoing, paths, writer, pathWriter, alarm, host, life};
    SendReplies replies{sends, outgoing, writer, paths, host};
    IncomingRecords incoming;
    FeedbackGiver feedback{self, paths, controls, alarm};
    LossRecovery recovery{incoming, paths, LossAsker(self, writer, host), feedback, controls, alarm, self, host, life};
    Dispatcher dispatcher{self, controls, host};
    Reassembly reassembly{{self, incoming, paths, recovery, feedback, replies, controls, dispatcher, host, life}};
    bool backlog = false; // datagrams still wait in the socket after a pass's read turn
    RecoveryPass recoveryPass{alarm, recovery, feedback, sends, writer, life, [this] { return backlog; }};
};
