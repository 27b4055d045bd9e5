#include "registry/pending_registrations.h"

#include <QHostAddress>

#include "platform/clock.h"
#include "transport/endpoint.h"

namespace {

qint64 nowMs() { return platform::monotonicMs(); }

// The address as the answer's source address text will read: the host may
// write it in another form than the dotted decimal the socket reports.
QByteArray keyOf(const char *ip, unsigned short port)
{
    const QHostAddress address(QString::fromLatin1(ip));
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return transport::endpointKey(address.toString().toLatin1().constData(), port);
    return transport::endpointKey(ip, port);
}

} // namespace

void PendingRegistrations::sent(const char *ip, unsigned short port)
{
    const qint64 now = nowMs();
    dropExpired(now);
    sentAt.insert(keyOf(ip, port), now);
}

bool PendingRegistrations::take(const char *ip, unsigned short port)
{
    dropExpired(nowMs());
    return sentAt.remove(keyOf(ip, port)) > 0;
}

void PendingRegistrations::age(qint64 ms)
{
    for (qint64 &at : sentAt)
        at -= ms;
}

void PendingRegistrations::dropExpired(qint64 now)
{
    for (auto it = sentAt.begin(); it != sentAt.end();)
        it = now - it.value() > kAnswerWindowMs ? sentAt.erase(it) : std::next(it);
}
