#include "transport/send/control_sender.h"

#include <cstring>

#include "io/datagram_out.h"
#include "platform/clock.h"
#include "text/fixed_text.h"
#include "transport/endpoint.h"
#include "transport/local_identity.h"
#include "transport/path/path_table.h"

void ControlSender::send(const char *data, const char *destIP, unsigned short port, int size)
{
    if (!data || !destIP || size < 0)
        return;
    const size_t length = size ? static_cast<size_t>(size) : std::strlen(data);
    if (length > static_cast<size_t>(wire::kPayloadSize))
        return;
    NOLVUDPPACKET packet;
    self.fillProtocolPacket(packet, data, length);
    writeSingle(packet, destIP, port);
}

void ControlSender::sendText(const QByteArray &message, const char *destIP, unsigned short port, int size)
{
    QByteArray copy = message;
    char dest[16];
    text::copyText(dest, destIP);
    send(copy.data(), dest, port, size);
}

void ControlSender::writeSingle(NOLVUDPPACKET &packet, const char *destIP, unsigned short port)
{
    // A control word to a peer whose numbered datagrams this unit receives
    // carries feedback for it, when there is news or nothing to prove; one to
    // a destination that has not proven it receives our datagrams carries a
    // number for it to name (a registration proves the way for the data
    // after it); any other an unnumbered data mark.
    const quint32 address = transport::parseIPv4(destIP);
    const int64_t now = platform::monotonicUs();
    PeerPath *path = address ? paths.find(address, port) : nullptr;
    if (path && path->receiving.numbersItsDatagrams(now) &&
        (path->receiving.sinceFeedback > 0 || path->sending.proven(now)))
        markFeedback(path, packet, now);
    else if (address && (path || (path = paths.obtain(address, port, now, false))) && !path->sending.proven(now))
        markProbe(path, packet, now);
    else
        mark::writeData(packet, 0, 0, 0, now);
    out.writeNow(&packet, address, destIP, port);
}

void ControlSender::writeWithFeedback(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs)
{
    markFeedback(path, packet, nowUs);
    out.writeNow(&packet, path->address, path->ip, path->port);
}

void ControlSender::markFeedback(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs)
{
    ReceivingPath &r = path->receiving;
    mark::writeFeedback(packet, r.newestReceivedTxn, nowUs - r.newestAtUs, r.received);
    r.sinceFeedback = 0;
    r.owedForMessage = false;
    r.lastFeedbackUs = nowUs;
}

void ControlSender::markProbe(PeerPath *path, NOLVUDPPACKET &packet, int64_t nowUs)
{
    SendingPath &s = path->sending;
    const uint32_t txn = s.nextTxn(nowUs, true, nullptr);
    mark::writeData(packet, uint8_t(mark::FeedbackNow | (s.seriesHeard ? 0 : mark::NewSeries)), s.rttUs() / 1000, txn,
                    nowUs);
}
