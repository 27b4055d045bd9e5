// Feedback between our own units, the receiver's side. A receiver counts the
// numbered datagrams of each sender and tells it what arrived: at once when
// a datagram asks for it (the end of a burst, a sender short of window, a
// series no feedback has named yet), after every 32, and at least every two
// of the sender's round trips while datagrams of a message keep coming. The
// feedback rides in the reserved bytes of the datagrams that go back anyway
// (RECEIVED and other control words) and otherwise in a FEEDBACK message,
// whose body carries the receiver's loss reports; FEEDBACK goes only to a
// sender whose datagrams of a message came numbered.
#pragma once

#include <QList>
#include <QtGlobal>

#include "transport/wire.h"

class Alarm;
class ControlSender;
class PathTable;
struct LocalIdentity;
struct Message;
struct PeerPath;
namespace transport {
class LossReportWriter;
}

class FeedbackGiver {
public:
    FeedbackGiver(LocalIdentity &self, PathTable &paths, ControlSender &controls, Alarm &alarm)
        : self(self), paths(paths), controls(controls), alarm(alarm)
    {
    }

    // A datagram with a data mark: counted for its sender (m.sender), and
    // feedback owed when it asks for it.
    void noteDataMark(Message &m, int64_t nowUs);
    // A datagram of a message of several: its sender's datagrams of it came
    // numbered (or not).
    void noteMessageDatagram(Message &m, NOLVUDPBUFFER *record);
    // Sends the feedback owed after the datagrams just read.
    void sendDue();
    // Owes feedback to the senders whose time for it has come.
    void markTimeDue(int64_t nowUs);
    // When feedback next falls due by time (ms; 0: none).
    int64_t nextDueMs() const;
    // One FEEDBACK to the path's sender, with a loss report (or none).
    void send(PeerPath *path, int64_t nowUs, transport::LossReportWriter *report);

private:
    static int64_t dueUs(const PeerPath *path);
    void owe(PeerPath *path);

    LocalIdentity &self;
    PathTable &paths;
    ControlSender &controls;
    Alarm &alarm;
    QList<quint64> owed; // paths whose feedback is due after this read
};
