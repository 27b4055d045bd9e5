// The parts of a unit, each the one owner of its state, made in the order of
// their layers (each only uses parts made before it) and wired together:
// the handlers each registers with the dispatcher, and the notices lower
// parts give upper ones. The façade (MUDPUnit) holds one Parts; tests reach
// a part through it.
#pragma once

#include <functional>

#include "core/alarm.h"
#include "core/host_bridge.h"
#include "core/lifetime.h"
#include "io/datagram_socket.h"
#include "registry/heartbeat.h"
#include "registry/list_diff_merge.h"
#include "registry/list_diff_push.h"
#include "registry/list_export.h"
#include "registry/list_merge.h"
#include "registry/list_push.h"
#include "registry/peer_sending.h"
#include "registry/peer_tables.h"
#include "registry/registration.h"
#include "transport/dispatcher.h"
#include "transport/local_identity.h"
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
#include "traversal/hole_punch.h"
#include "traversal/relay.h"

class QObject;

struct Parts {
    // What the parts need of the façade: its signals, and its slots that
    // read the socket and take one datagram.
    struct Hooks {
        HostBridge::Signals unitSignals;
        PeerSending::BufferReady bufferReady;
        DatagramSocket::Receive receive;
        std::function<void()> readSocket;
    };

    Parts(QObject *owner, Hooks hooks);
    Parts(const Parts &) = delete;
    Parts &operator=(const Parts &) = delete;

    // After datagrams were read: the feedback owed for them goes, and what
    // they queued is written.
    void afterReading();
    // Stops every timer of the parts.
    void stopTimers();

    Lifetime life;
    HostBridge host;
    LocalIdentity self;
    Alarm recoveryAlarm;
    DatagramSocket socket;
    // Transport, sending side.
    PathTable paths;
    OutgoingMessages outgoing;
    PathWriter pathWriter;
    Writer writer;
    ControlSender controls;
    SendRecords sends;
    SendReplies replies;
    // Transport, receiving side.
    IncomingRecords incoming;
    FeedbackGiver feedback;
    LossRecovery recovery;
    Dispatcher dispatcher;
    Reassembly reassembly;
    RecoveryPass recoveryPass;
    // Registry.
    PeerTables peers;
    ListExport lists;
    PeerSending sending;
    ListDiffPush diffPush;
    ListPush push;
    ListMerge merge;
    ListDiffMerge diffMerge;
    Heartbeat heartbeat;
    Registration registration;
    // Traversal.
    HolePunch holes;
    Relay relay;

private:
    void wireEvents();
    void registerHandlers();
};
