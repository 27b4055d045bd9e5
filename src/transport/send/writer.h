// The writer: what waits in the destinations' queues goes out from the event
// loop, each destination at its own pace (PathWriter), in batches of
// datagrams. Destinations take turns, so a push to many clients is written
// to all of them in shared rounds; how one uplink is shared among them is
// decided here.
#pragma once

#include <QList>
#include <cstdint>
#include <memory>

#include "transport/wire.h"

class DatagramOut;
class Lifetime;
class Pacer;
class PathTable;
class PathWriter;
class QObject;
class QTimer;
struct PeerPath;

class Writer {
public:
    Writer(QObject *owner, PathTable &paths, PathWriter &pathWriter, DatagramOut &out, Lifetime &life);
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    // Writes what is due, at most maxWrites datagrams, and arms its timer for
    // what is due later.
    void writeWhatIsDue(int maxWrites);
    bool hasQueuedWrites() const { return !activePaths.isEmpty(); }
    // Lets queued writes go out, processing events, for at most ms
    // milliseconds; whether nothing is left to write.
    bool flush(int ms);
    // Feedback came for the path: what it lets go goes now.
    void wake(const PeerPath *path, int64_t nowUs);
    void stop();
    // One run of the writer, as its timer starts it.
    void run();

    // The path has something to write.
    void activate(PeerPath *path);
    // Queues packet `index` (0-based) of a held buffer again to ip:port.
    bool queueResend(const NOLVUDPBUFFER *buffer, int index, const char *ip, unsigned short port);
    bool queueResend(const NOLVUDPBUFFER *buffer, int index, PeerPath *path);
    // Queues packet `index` (0-based) as the answer to a request or report:
    // not again within the path's round trip; false when not queued now.
    bool queueAnswer(const NOLVUDPBUFFER *buffer, int index, PeerPath *path);
    // Queues a REQUEST for packet `index` (1-based) of ip:port's message;
    // false when one already waits.
    bool queueRequest(int32_t date, int32_t time, int index, const char *ip, unsigned short port);

private:
    void arm(int64_t dueUs);
    Pacer &sharedStart(int64_t nowUs);
    // A path paced by its controller that has had no feedback yet.
    static bool startsAtRate(const PeerPath *path, int64_t nowUs);

    PathTable &paths;
    PathWriter &pathWriter;
    DatagramOut &out;
    Lifetime &life;
    QList<PeerPath *> activePaths;     // paths with something to write, in turn order
    QTimer *timer;                     // single shot, armed for the next due write
    std::unique_ptr<Pacer> startPacer; // the first window that paths without feedback share
    bool busy = false;
    quint64 turn = 0;                  // which active path starts the next run
    int64_t armedForUs = 0;            // when the timer was asked to wake the writer
    int64_t wakeLateUs = 0;            // how much later it wakes, learnt
};
