// Send records and the queues of the destinations: a buffer handed to its
// destinations gets a send record each and waits in their queues, packets
// asked for again are queued once each, and the held buffers stay within
// their bounds.
#include <cstring>

#include "platform/clock.h"
#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/endpoint.h"
#include "transport/identity.h"
#include "transport/send_target.h"
#include "unit/mudp_unit.h"
#include "unit/wait_generation.h"

namespace {
// What the outgoing buffers may hold together; beyond it the oldest buffer
// that no queue holds makes room, and a send that finds none is refused.
constexpr qint64 kMaxSentBytes = 256ll * 1024 * 1024;
// Datagrams the call that queues a message writes itself: the first round of
// a small message goes out with no wait, while a large one returns at once.
constexpr int kInlineWrites = 32;

bool skippedAddress(const char *ip)
{
    return std::strcmp(ip, "255.255.255.255") == 0 || std::strcmp(ip, "127.0.0.1") == 0;
}
} // namespace

SendTarget::SendTarget(const char *ipText, unsigned short port) : port(port)
{
    text::copyText(ip, ipText);
    address = QHostAddress(QString::fromLatin1(ip));
}

bool MUDPUnit::makeRoomForBuffer(qint64 bytes)
{
    // The oldest buffers go first, as the 500 limit has it; one that a queue
    // still writes stays.
    for (int i = 0; i < sentBuffers.size() &&
                    (sentBuffers.size() >= wire::kMaxSentBuffers || sentBytes + bytes > kMaxSentBytes);) {
        NOLVUDPBUFFER *buffer = sentBuffers.at(i);
        if (buffer->inUse > 0) {
            ++i;
            continue;
        }
        sentBuffers.takeAt(i);
        sentBytes -= heldBytes(buffer);
        retire(buffer);
    }
    return sentBuffers.size() < wire::kMaxSentBuffers && sentBytes + bytes <= kMaxSentBytes;
}

PeerPath *MUDPUnit::sendingPath(const char *ip, unsigned short port)
{
    const quint32 address = transport::parseIPv4(ip);
    return address ? obtainPath(address, port, platform::monotonicUs(), true) : nullptr;
}

PeerPath *MUDPUnit::obtainPath(quint32 address, quint16 port, int64_t nowUs, bool forSending)
{
    return paths.obtain(address, port, nowUs, forSending, waitgen::current());
}

void MUDPUnit::sendBufferToAddrs(NOLVUDPBUFFER *buffer, const QList<SendTarget> &destinations)
{
    const int64_t nowMs = platform::monotonicMs();
    for (const SendTarget &to : destinations) {
        if (skippedAddress(to.ip))
            continue;
        PeerPath *path = sendingPath(to.ip, to.port);
        if (path && !path->queue.fits(buffer->messageLength)) {
            writeLog(tr("Send refused, queue full:") +
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
        sendRecords.append(record);
        noteDestination(buffer, to.ip, to.port); // lost-packet requests are answered only here
        if (!path) {
            record->written = buffer->total; // no datagram can go to such an address
            continue;
        }
        path->messageUs = platform::monotonicUs();
        record->writing = buffer;
        ++buffer->inUse;
        path->queue.addJob(record, buffer->messageLength);
        activate(path);
    }
    writeWhatIsDue(kInlineWrites);
}

bool MUDPUnit::queueResend(const NOLVUDPBUFFER *buffer, int index, const char *ip, unsigned short port)
{
    PeerPath *path = sendingPath(ip, port);
    return path && queueResend(buffer, index, path);
}

bool MUDPUnit::queueResend(const NOLVUDPBUFFER *buffer, int index, PeerPath *path)
{
    if (!path->queue.addResend(PacketRef{buffer->date, buffer->time, index}))
        return false;
    activate(path);
    return true;
}

bool MUDPUnit::queueAnswer(const NOLVUDPBUFFER *buffer, int index, PeerPath *path)
{
    // A packet answered once is not answered again within the path's round
    // trip: a report or request repeated meanwhile (or forged) adds nothing.
    const int64_t rttUs = path->rate && path->rate->smoothedRttUs() > 0 ? path->rate->smoothedRttUs()
                                                                          : SendQueue::kDefaultAnswerWindowUs;
    if (!path->queue.noteAnswer(PacketRef{buffer->date, buffer->time, index}, platform::monotonicUs(), rttUs))
        return false;
    queueResend(buffer, index, path); // or it waits already
    return true;
}

bool MUDPUnit::queueRequest(int32_t date, int32_t time, int index, const char *ip, unsigned short port)
{
    PeerPath *path = sendingPath(ip, port);
    if (!path || !path->queue.addRequest(PacketRef{date, time, index}))
        return false;
    activate(path);
    return true;
}

void MUDPUnit::endWriting(SENDRECORD *record)
{
    NOLVUDPBUFFER *buffer = record->writing;
    if (!buffer)
        return;
    record->writing = nullptr;
    --buffer->inUse;
    if (PeerPath *path = paths.find(transport::endpointId(transport::parseIPv4(record->ip), record->port)))
        path->queue.removeJob(record, buffer->messageLength);
    notePushWritten(record);
}

void MUDPUnit::activate(PeerPath *path)
{
    if (!path->active) {
        path->active = true;
        activePaths.append(path);
    }
    if (!writerBusy)
        armWriter(platform::monotonicUs());
}
