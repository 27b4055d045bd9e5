// Pacing toward each destination: one buffer written to many destinations in
// shared rounds, and single datagrams that wait a round only when their own
// destination has had its share of the current one.
#include <cstring>

#include "text/fixed_text.h"
#include "transport/buffers.h"
#include "transport/send_target.h"
#include "unit/mudp_unit.h"

namespace {
// Packets of one message that one destination gets before a round's wait.
constexpr int kPacketsPerRound = 15;

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

void MUDPUnit::sendBufferToAddrs(NOLVUDPBUFFER *buffer, const QList<SendTarget> &destinations)
{
    QList<SendTarget> targets;
    targets.reserve(destinations.size());
    for (const SendTarget &to : destinations) {
        if (skippedAddress(to.ip))
            continue;
        auto *record = new SENDRECORD();
        record->date = buffer->date;
        record->time = buffer->time;
        std::memcpy(record->ip, to.ip, sizeof record->ip);
        record->port = to.port;
        record->retries = wire::kInitialRetries;
        sendRecords.append(record);
        noteDestination(buffer, to.ip, to.port); // lost-packet requests are answered only here
        targets.append(to);
    }
    if (targets.isEmpty())
        return;
    // Packet 1 alone, then runs of fifteen. Each run goes to every destination
    // before the round's wait, so N destinations cost the rounds of one; the
    // wait follows packets 1, 16, 31 and so on, as for a single destination.
    ++buffer->inUse;
    const bool outerWrite = !buffer->writing;
    buffer->writing = true;
    if (outerWrite)
        buffer->writtenToAll = 0;
    for (int first = 0; first < buffer->total;) {
        const int end = first == 0 ? 1 : qMin(first + kPacketsPerRound, buffer->total);
        for (const SendTarget &to : targets)
            for (int i = first; i < end; ++i)
                writePacket(packetSlot(buffer, i), to);
        if (outerWrite)
            buffer->writtenToAll = end;
        if ((end - 1) % kPacketsPerRound == 0)
            waitWithEvents(1);
        first = end;
    }
    if (outerWrite)
        buffer->writing = false;
    --buffer->inUse;
    for (const SendTarget &to : targets)
        noteSendWritten(buffer, to.ip, to.port);
}

void MUDPUnit::paceSingleDatagram(const SendTarget &to)
{
    const quint64 round = waitRounds();
    if (round != singlesRound) {
        singlesThisRound.clear();
        singlesRound = round;
    }
    const quint64 key = (quint64(to.address.toIPv4Address()) << 16) | to.port;
    // Below its share the datagram goes without a wait: events are handled
    // at the next one, so a handler's answers and what it does after them
    // are not interleaved with the handling of further datagrams.
    if (++singlesThisRound[key] >= kPacketsPerRound)
        waitWithEvents(1);
}
