#include "unit/parts.h"

#include "transport/message.h"

namespace {
// The loss-recovery alarm rings at most this far ahead: a tick's period.
constexpr int64_t kMaxRecoveryDelayMs = 2000;
constexpr int kWritesAfterReading = 1024;
} // namespace

Parts::Parts(QObject *owner, Hooks hooks)
    : host(std::move(hooks.unitSignals)),
      recoveryAlarm(owner, kMaxRecoveryDelayMs),
      socket(owner, "processPendingDatagrams", std::move(hooks.receive), hooks.readSocket,
             [this](const QString &line) { host.writeLog(line); }),
      paths(life),
      outgoing(self, host, life),
      pathWriter(self, outgoing, paths, socket),
      writer(owner, paths, pathWriter, socket, life),
      controls(self, paths, socket),
      sends(outgoing, paths, writer, pathWriter, recoveryAlarm, host, life),
      replies(sends, outgoing, writer, paths, host),
      feedback(self, paths, controls, recoveryAlarm),
      recovery(incoming, paths, LossAsker(self, writer, host), feedback, controls, recoveryAlarm, self, host, life),
      dispatcher(self, controls, host),
      reassembly({self, incoming, paths, recovery, feedback, replies, controls, dispatcher, host, life}),
      recoveryPass(recoveryAlarm, recovery, feedback, sends, writer, life,
                   [this, readSocket = hooks.readSocket] {
                       if (socket.depth() == 0 && socket.hasWaiting())
                           readSocket();
                       return socket.hasWaiting();
                   }),
      peers(host, life),
      lists(host),
      sending(peers, outgoing, sends, life, std::move(hooks.bufferReady)),
      diffPush(owner, self, peers, sending, sends, host, life),
      push(owner, self, peers, sending, sends, lists, diffPush, life),
      merge(self, peers, incoming, reassembly, host),
      diffMerge({self, peers, merge, reassembly, incoming, controls, host}),
      heartbeat(owner, self, peers, controls, host, life),
      registration({self, peers, controls, heartbeat, merge, diffMerge, diffPush, sends, writer, paths, host, life}),
      holes(self, peers, controls, host, life),
      relay(self, peers, sending, holes, reassembly, host, life)
{
    wireEvents();
    registerHandlers();
}

void Parts::wireEvents()
{
    pathWriter.setEvents({[this](SENDRECORD *record) { sends.noteWritten(record); },
                          [this](const SENDRECORD *record) { push.noteWritingEnded(record); }});
    reassembly.setFirstPacketFiled([this](NOLVUDPBUFFER *record) { merge.noteFirstPacket(record); });
}

void Parts::registerHandlers()
{
    dispatcher.on(Word::Request, [this](Message &m) { replies.handleRequest(m); });
    dispatcher.on(Word::Received, [this](Message &m) { replies.handleReceived(m); });
    dispatcher.on(Word::DataFail, [this](Message &m) { replies.handleDataFail(m); });
    dispatcher.on(Word::Feedback, [this](Message &m) { replies.handleFeedback(m); });
    dispatcher.on(Word::Data, [this](Message &m) { reassembly.handleData(m); });
    dispatcher.on(Word::Reg, [this](Message &m) { registration.handleReg(m); });
    dispatcher.on(Word::Unreg, [this](Message &m) { registration.handleUnreg(m); });
    dispatcher.on(Word::RegAcc, [this](Message &m) { registration.handleRegAcc(m); });
    dispatcher.on(Word::UnregAcc, [this](Message &m) { registration.handleUnregAcc(m); });
    dispatcher.on(Word::RegDup, [this](Message &m) { registration.handleRegDup(m); });
    dispatcher.on(Word::Unknown, [this](Message &m) {
        registration.handleUnknown(m);
        push.noteUnknownWord(m);
    });
    dispatcher.on(Word::Alive, [this](Message &m) { heartbeat.handleAlive(m); });
    dispatcher.on(Word::ReAlive, [this](Message &m) { heartbeat.handleReAlive(m); });
    dispatcher.on(Word::PeerList, [this](Message &m) { merge.handlePeerList(m); });
    dispatcher.on(Word::PeerDiff, [this](Message &m) { diffMerge.handlePeerDiff(m); });
    dispatcher.on(Word::PeerSync, [this](Message &m) { diffPush.handleSync(m); });
    dispatcher.on(Word::Trans, [this](Message &m) { relay.handleTrans(m); });
    dispatcher.on(Word::TransHole, [this](Message &m) { holes.handleTransHole(m); });
    dispatcher.on(Word::HoleReq, [this](Message &m) { holes.handleHoleReq(m); });
    dispatcher.on(Word::HoleReg, [this](Message &m) { holes.handleHoleReg(m); });
    dispatcher.on(Word::HoleAcc, [this](Message &m) { holes.handleHoleAcc(m); });
    dispatcher.on(Word::HoleTest, [this](Message &m) { holes.handleHoleTest(m); });
}

void Parts::afterReading()
{
    feedback.sendDue();
    if (writer.hasQueuedWrites())
        writer.writeWhatIsDue(kWritesAfterReading);
}

void Parts::stopTimers()
{
    recoveryAlarm.stop();
    writer.stop();
    heartbeat.stop();
    diffPush.stop();
}
