#include "transport/send/writer.h"

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>

#include "core/lifetime.h"
#include "io/datagram_out.h"
#include "io/event_wait.h"
#include "platform/clock.h"
#include "transport/path/path_table.h"
#include "transport/send/path_writer.h"

namespace {
constexpr int64_t kRoundUs = 2000;     // a round of the protocol's pace
constexpr int kMaxWritesPerRun = 16384; // then the event loop gets a turn
// Or, past a few hundred, after this long: a run of thousands of datagrams
// to a thousand new clients would hold the event loop (heartbeats,
// registrations, timers) for a second or more. Paths are looked at in slices
// of a few hundred writes.
constexpr qint64 kRunBudgetNs = 3000000;
constexpr int kWritesBeforeBudget = 512;
constexpr int kWritesPerSlice = 256;
// Paths without feedback yet share one first window: a push to a thousand
// new clients starts as one flow would, not a thousand. Its rate is the best
// any path has shown, or this.
constexpr double kStartRate = 8000; // datagrams per second
// Paths that start together take their first windows in turn up to this many.
constexpr int kMaxInterleaved = 16;
} // namespace

Writer::Writer(QObject *owner, PathTable &paths, PathWriter &pathWriter, DatagramOut &out, Lifetime &life)
    : paths(paths), pathWriter(pathWriter), out(out), life(life), timer(new QTimer(owner))
{
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer, &QTimer::timeout, timer, [this] { run(); });
}

Writer::~Writer() = default;

void Writer::run()
{
    Lifetime::Entry entry(life);
    // How late the timer wakes the writer, learnt quickly upward and slowly
    // downward: the pacers hold what accrues over that much more.
    const int64_t late = std::max<int64_t>(0, platform::monotonicUs() - armedForUs);
    wakeLateUs = late > wakeLateUs ? late : wakeLateUs + (late - wakeLateUs) / 16;
    writeWhatIsDue(kMaxWritesPerRun);
}

void Writer::stop() { timer->stop(); }

void Writer::arm(int64_t dueUs)
{
    if (dueUs == 0)
        return;
    const int64_t delayUs = dueUs - platform::monotonicUs();
    const int delayMs = delayUs <= 0 ? 0 : int(std::min<int64_t>((delayUs + 999) / 1000, 2000));
    if (!timer->isActive() || timer->remainingTime() > delayMs) {
        timer->start(delayMs);
        armedForUs = std::max(dueUs, platform::monotonicUs());
    }
}

bool Writer::startsAtRate(const PeerPath *path, int64_t nowUs)
{
    const SendingPath &s = path->sending;
    return s.atRate(nowUs) && (!s.rate || s.rate->lastFeedbackUs() == 0);
}

Pacer &Writer::sharedStart(int64_t nowUs)
{
    double startRate = kStartRate;
    for (const PeerPath *path : std::as_const(activePaths))
        if (path->sending.rate)
            startRate = std::max(startRate, path->sending.rate->bottleneckRate());
    if (!startPacer)
        startPacer = std::make_unique<Pacer>(nowUs, startRate);
    startPacer->setRate(nowUs, startRate);
    startPacer->setDepthUs(Pacer::kDepthUs + wakeLateUs);
    return *startPacer;
}

void Writer::writeWhatIsDue(int maxWrites)
{
    if (busy)
        return;
    busy = true;
    const int64_t now = platform::monotonicUs();
    int64_t nextDue = 0;
    int written = 0;
    if (!out.flushStaged()) {
        nextDue = now + 1000; // the socket's buffer is full: try again soon
        maxWrites = 0;
    }
    Pacer &start = sharedStart(now);
    const int n = int(activePaths.size());
    QList<PeerPath *> still;
    still.reserve(n);
    const int first = n ? int(turn++ % quint64(n)) : 0;
    QElapsedTimer runClock;
    runClock.start();
    const auto mayWrite = [&] {
        return written < maxWrites && (written < kWritesBeforeBudget || runClock.nsecsElapsed() < kRunBudgetNs);
    };
    // Paths that start together take the shared first window a datagram each
    // a run, in turn: written one after another, the first path's window
    // reached the receiver at the uplink's full rate, that path took the whole
    // uplink for its rate, and it kept about twice an even share while the
    // others starved. Their single datagrams do not call for more passes: a
    // server with a thousand paths paid a pass over all of them for each.
    // Only a few: a burst of registrations starts thousands of paths, whose
    // first windows go one path after another as before (a datagram each a
    // run left some of 3,000 new clients without their lists).
    int starters = 0;
    for (const PeerPath *path : std::as_const(activePaths))
        starters += startsAtRate(path, now);
    const bool interleaved = starters > 1 && starters <= kMaxInterleaved;
    // Passes over the paths, a slice each, while one of them filled its
    // slice and the run has room: a single busy path is not held to a slice.
    for (bool again = n > 0; again;) {
        again = false;
        int64_t passDue = 0;
        for (int k = 0; k < n; ++k) {
            PeerPath *path = activePaths.at((first + k) % n);
            if (!mayWrite()) {
                passDue = now; // more is due than one run writes
                continue;
            }
            const int slice = interleaved && startsAtRate(path, now) ? 1 : kWritesPerSlice;
            const int w = pathWriter.write(path, now, std::min(maxWrites - written, slice), passDue, start);
            written += w;
            again = again || w == kWritesPerSlice;
        }
        nextDue = passDue;
        again = again && mayWrite();
    }
    for (int k = 0; k < n; ++k) {
        PeerPath *path = activePaths.at((first + k) % n);
        if (path->sending.queue.isEmpty())
            path->sending.active = false;
        else
            still.append(path);
    }
    activePaths.swap(still);
    if (!out.flushStaged())
        nextDue = now + 1000;
    busy = false;
    if (!activePaths.isEmpty())
        arm(nextDue ? nextDue : now + kRoundUs);
}

bool Writer::flush(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (hasQueuedWrites() && clock.elapsed() < ms)
        io::waitWithEvents(2);
    return !hasQueuedWrites();
}

void Writer::wake(const PeerPath *path, int64_t nowUs)
{
    if (path->sending.active && !busy)
        arm(nowUs);
}

void Writer::activate(PeerPath *path)
{
    if (!path->sending.active) {
        path->sending.active = true;
        activePaths.append(path);
    }
    if (!busy)
        arm(platform::monotonicUs());
}

bool Writer::queueResend(const NOLVUDPBUFFER *buffer, int index, const char *ip, unsigned short port)
{
    PeerPath *path = paths.sendingPath(ip, port);
    return path && queueResend(buffer, index, path);
}

bool Writer::queueResend(const NOLVUDPBUFFER *buffer, int index, PeerPath *path)
{
    if (!path->sending.queue.addResend(PacketRef{buffer->date, buffer->time, index}))
        return false;
    activate(path);
    return true;
}

bool Writer::queueAnswer(const NOLVUDPBUFFER *buffer, int index, PeerPath *path)
{
    // A packet answered once is not answered again within the path's round
    // trip: a report or request repeated meanwhile (or forged) adds nothing.
    const int64_t rtt = path->sending.rttUs();
    const int64_t windowUs = rtt > 0 ? rtt : SendQueue::kDefaultAnswerWindowUs;
    if (!path->sending.queue.noteAnswer(PacketRef{buffer->date, buffer->time, index}, platform::monotonicUs(), windowUs))
        return false;
    queueResend(buffer, index, path); // or it waits already
    return true;
}

bool Writer::queueRequest(int32_t date, int32_t time, int index, const char *ip, unsigned short port)
{
    PeerPath *path = paths.sendingPath(ip, port);
    if (!path || !path->sending.queue.addRequest(PacketRef{date, time, index}))
        return false;
    activate(path);
    return true;
}
