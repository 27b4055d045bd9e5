// What destinations tell this unit about its sends: RECEIVED and DATAFAIL
// settle a send, REQUEST and the loss reports of FEEDBACK ask for packets
// again, and the feedback marks of their datagrams feed the path's rate
// controller once they prove themselves.
#pragma once

#include "text/log_throttle.h"
#include "transport/send/send_records.h"

struct Message;
struct PeerPath;
namespace mark {
struct Mark;
}

class SendReplies {
public:
    SendReplies(SendRecords &records, OutgoingMessages &outgoing, Writer &writer, PathTable &paths, HostBridge &host)
        : records(records), outgoing(outgoing), writer(writer), paths(paths), host(host)
    {
    }

    // A datagram with a feedback mark: whether it proves itself (m.markProven).
    void noteFeedbackMark(Message &m, int64_t nowUs);

    void handleRequest(Message &m);
    void handleReceived(Message &m);
    void handleDataFail(Message &m);
    void handleFeedback(Message &m);

private:
    bool takeFeedback(PeerPath *path, const mark::Mark &mark, int64_t nowUs);
    SendRecords::Answer answerRequest(const Message &m, int32_t date, int32_t time, int index);
    // What a loss report got, per message.
    struct Reply {
        int32_t date = 0, time = 0;
        int total = 0;
        int queued = 0;
        SendRecords::Answer verdict = SendRecords::Answer::Queued;
    };
    void logReplies(const Message &m, const QList<Reply> &replies);

    SendRecords &records;
    OutgoingMessages &outgoing;
    Writer &writer;
    PathTable &paths;
    HostBridge &host;
    LogThrottle logThrottle; // log lines that forged datagrams could cause
};
