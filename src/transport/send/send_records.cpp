#include "transport/send/send_records.h"

#include <algorithm>
#include <cstring>

#include "core/alarm.h"
#include "core/host_bridge.h"
#include "core/labels.h"
#include "core/wait_generation.h"
#include "platform/clock.h"
#include "text/fixed_text.h"
#include "transport/endpoint.h"
#include "transport/path/path_table.h"
#include "transport/send/outgoing_messages.h"
#include "transport/send/path_writer.h"
#include "transport/send/writer.h"
#include "transport/send_target.h"

namespace {
// Datagrams the call that queues a message writes itself: the first round of
// a small message goes out with no wait, while a large one returns at once.
constexpr int kInlineWrites = 32;
// However a message progresses, neither side keeps it longer than this.
constexpr int64_t kMaxSendLifeMs = 600000; // ten minutes
// Early resends of packet 1: after four times the RECEIVED delay (at least
// 100 ms), doubling, at most three before the destination is heard again.
// Toward a peer with a rate controller: the last packet instead, after one
// and a half of its round trips and a margin, since its receipts come
// without delay: a lost tail costs about a round trip more, not a timer.
constexpr int64_t kMinResendMs = 100;
constexpr int64_t kMaxResendMs = 1000;
constexpr int kMaxEarlyResends = 3;
constexpr int64_t kDefaultAckDelayMs = 25;
constexpr int64_t kMinPathResendMs = 20;
constexpr int64_t kPathResendMarginMs = 10;

bool skippedAddress(const char *ip)
{
    return std::strcmp(ip, "255.255.255.255") == 0 || std::strcmp(ip, "127.0.0.1") == 0;
}

int64_t smooth(int64_t average, int64_t sample) { return average == 0 ? sample : average + (sample - average) / 8; }
} // namespace

SendTarget::SendTarget(const char *ipText, unsigned short port) : port(port)
{
    text::copyText(ip, ipText);
    address = QHostAddress(QString::fromLatin1(ip));
}

SendRecords::SendRecords(OutgoingMessages &outgoing, PathTable &paths, Writer &writer, PathWriter &pathWriter,
                         Alarm &alarm, HostBridge &host, Lifetime &life)
    : outgoing(outgoing), paths(paths), writer(writer), pathWriter(pathWriter), alarm(alarm), host(host), life(life)
{
}

SendRecords::~SendRecords()
{
    for (SENDRECORD *r : records.takeAll())
        delete r;
}

void SendRecords::sendTo(NOLVUDPBUFFER *buffer, const QList<SendTarget> &destinations)
{
    const int64_t nowMs = platform::monotonicMs();
    int made = 0;
    for (const SendTarget &to : destinations) {
        if (skippedAddress(to.ip))
            continue;
        PeerPath *path = paths.sendingPath(to.ip, to.port);
        if (path && !path->sending.queue.fits(buffer->messageLength)) {
            host.writeLog(tr("Send refused, queue full:") +
                          QString::fromLatin1(messageKey(buffer->date, buffer->time, buffer->total)) + tr(" To ") +
                          endpointLabel(to.ip, to.port));
            continue;
        }
        auto *record = new SENDRECORD();
        record->birth = waitgen::current();
        record->date = buffer->date;
        record->time = buffer->time;
        std::memcpy(record->ip, to.ip, sizeof record->ip);
        record->port = to.port;
        record->retries = wire::kInitialRetries;
        record->createdMs = nowMs;
        records.append(record);
        ++made;
        noteDestination(buffer, to.ip, to.port); // lost-packet requests are answered only here
        if (!path) {
            record->written = buffer->total; // no datagram can go to such an address
            continue;
        }
        path->messageUs = platform::monotonicUs();
        record->writing = buffer;
        ++buffer->inUse;
        path->sending.queue.addJob(record, buffer->messageLength);
        writer.activate(path);
    }
    fanOut.sent(buffer->date, buffer->time, made, nowMs);
    writer.writeWhatIsDue(kInlineWrites);
}

SENDRECORD *SendRecords::markDone(int32_t date, int32_t time, const char *ip, unsigned short port)
{
    SENDRECORD *record = find(date, time, ip, port);
    if (record) {
        record->retries = wire::kRemoveMark;
        pathWriter.endWriting(record);
    }
    return record;
}

SendRecords::Answer SendRecords::owedTo(quint32 address, const char *ip, unsigned short port, int32_t date,
                                        int32_t time, int index, const NOLVUDPBUFFER *buffer,
                                        SENDRECORD *&record) const
{
    if (!buffer || index < 1 || index > buffer->total)
        return Answer::NotHeld;
    // The identity is a date and a time of day: easy to guess. Only those the
    // message went to may have its packets, and only while it is unsettled.
    if (!wasSentTo(buffer, address, port))
        return Answer::NotReceiver;
    record = find(date, time, ip, port);
    return record && record->retries >= 0 ? Answer::Queued : Answer::NotOwed;
}

QString SendRecords::logKey(const SENDRECORD *record) const
{
    return host.name(QString::asprintf("$%d$%d To %s:%d", record->date, record->time,
                                       text::fieldBytes(record->ip).constData(), record->port)
                         .toLatin1());
}

bool SendRecords::retireIfDone(int i)
{
    SENDRECORD *record = records.at(i);
    if (record->retries > wire::kRemoveMark)
        return false;
    const QString key = logKey(record);
    pathWriter.endWriting(record);
    records.takeAt(i);
    retire(life, record);
    host.writeLog(tr("delete registed UDP package:") + key);
    return true;
}

void SendRecords::tick()
{
    // A destination's resends count only the ticks in which it neither
    // acknowledged, nor asked for anything, nor gave feedback, and none while
    // the message is still being written to it; a destination that is gone
    // still gets the six resends, the failure and the removal, a tick apart.
    const int64_t nowMs = platform::monotonicMs();
    const int64_t previousTickUs = std::exchange(lastTickUs, platform::monotonicUs());
    fanOut.prune(nowMs, kMaxSendLifeMs);
    for (int i = 0; i < records.size();) {
        // The log's name of a record is made only for the records a log line
        // names: a server with thousands of records in flight made one for
        // each of them on every tick.
        SENDRECORD *record = records.at(i);
        if (retireIfDone(i))
            continue;
        if (record->retries >= 1 && record->retries <= wire::kInitialRetries) {
            const bool expired = nowMs - record->createdMs > kMaxSendLifeMs;
            const bool progressing = record->writing || record->heard || heardSince(record, previousTickUs);
            record->heard = false;
            if (expired) {
                pathWriter.endWriting(record);
                record->retries = 0;
            } else if (progressing) {
                ++i;
                continue;
            }
        }
        if (record->retries == 0) {
            record->retries = wire::kRemoveMark;
            host.writeLog(tr("UDP package send failed:") + logKey(record));
        } else if (record->retries >= 1 && record->retries <= wire::kInitialRetries) {
            --record->retries;
            const NOLVUDPBUFFER *buffer = outgoing.find(record->date, record->time);
            char ip[16];
            text::copyText(ip, record->ip);
            if (buffer) {
                writer.queueResend(buffer, 0, ip, record->port);
                host.writeLog(tr("repeat send UDP package:") + logKey(record));
            } else {
                host.writeLog(tr("can't find udp package:") + logKey(record));
            }
        }
        ++i;
    }
}

bool SendRecords::heardSince(const SENDRECORD *record, int64_t sinceUs) const
{
    // Feedback that proved itself and named one of this message's numbers,
    // or a later one while the message is unacknowledged.
    if (sinceUs == 0 || record->written == 0)
        return false;
    const PeerPath *path = paths.find(transport::parseIPv4(record->ip), record->port);
    return path && path->sending.provenUs > sinceUs && path->sending.seriesFirst == record->series &&
           int32_t(path->sending.provenTxn - record->firstTxn) >= 0;
}

int64_t SendRecords::earlyResendDue(const SENDRECORD *record) const
{
    if (record->retries < 1 || record->retries > wire::kInitialRetries || record->lastActiveMs == 0 ||
        record->earlyResends >= kMaxEarlyResends || record->writing)
        return 0;
    int64_t delay =
        std::clamp<int64_t>(4 * (ackDelayMs ? ackDelayMs : kDefaultAckDelayMs), kMinResendMs, kMaxResendMs);
    const PeerPath *path = paths.find(transport::parseIPv4(record->ip), record->port);
    if (path && path->sending.rttUs() > 0 && path->sending.atRate(platform::monotonicUs()))
        delay = std::clamp<int64_t>(3 * path->sending.rttUs() / 2000 + kPathResendMarginMs, kMinPathResendMs,
                                    kMaxResendMs);
    const int64_t wait = delay << record->earlyResends;
    return std::max(record->lastActiveMs + wait,
                    fanOut.probeNotBefore(record->date, record->time, record->lastActiveMs, wait));
}

void SendRecords::resendEarly(int64_t nowMs)
{
    for (int i = 0; i < records.size(); ++i) {
        SENDRECORD *record = records.at(i);
        const int64_t at = earlyResendDue(record);
        if (at != 0 && nowMs >= at)
            resendEarly(record);
    }
}

int64_t SendRecords::nextEarlyResendMs() const
{
    int64_t next = 0;
    for (const SENDRECORD *record : records.all())
        if (const int64_t due = earlyResendDue(record); due != 0 && (next == 0 || due < next))
            next = due;
    return next;
}

void SendRecords::resendEarly(SENDRECORD *record)
{
    // Neither logged nor counted as a retry: the tick's resends, their log
    // lines and the give-up stay as they are for a destination that is gone.
    const NOLVUDPBUFFER *buffer = outgoing.find(record->date, record->time);
    if (!buffer) {
        record->earlyResends = kMaxEarlyResends; // pushed out: nothing to resend
        return;
    }
    ++record->earlyResends;
    record->lastActiveMs = platform::monotonicMs();
    char ip[16];
    text::copyText(ip, record->ip);
    // One of our units takes a repeat of the last packet as a repeat of the
    // first (the sender has written it all), and a lost last packet comes
    // with it; any other peer gets packet 1, as the protocol has it.
    const PeerPath *path = paths.find(transport::parseIPv4(record->ip), record->port);
    const bool ours = path && path->sending.atRate(platform::monotonicUs());
    writer.queueResend(buffer, ours ? buffer->total - 1 : 0, ip, record->port);
}

void SendRecords::noteWritten(SENDRECORD *record)
{
    record->lastActiveMs = platform::monotonicMs();
    record->earlyResends = 0;
    alarm.arm(earlyResendDue(record));
}

void SendRecords::noteHeard(SENDRECORD *record, bool acknowledged)
{
    const int64_t now = platform::monotonicMs();
    // Only a RECEIVED to a message sent once and never resent times the
    // round trip without doubt.
    if (acknowledged && record->retries == wire::kInitialRetries && record->earlyResends == 0 &&
        record->lastActiveMs > 0)
        ackDelayMs = smooth(ackDelayMs, std::max<int64_t>(1, now - record->lastActiveMs));
    if (acknowledged)
        fanOut.answered(record->date, record->time, now);
    record->heard = true;
    record->lastActiveMs = now;
    record->earlyResends = 0;
    if (!acknowledged)
        alarm.arm(earlyResendDue(record));
}
