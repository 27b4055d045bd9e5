#include "registry/pending_registrations.h"

#include <QHostAddress>

#include "platform/clock.h"
#include "transport/endpoint.h"

namespace {

qint64 nowUs() { return platform::monotonicUs(); }

// The address as the answer's source address text will read: the host may
// write it in another form than the dotted decimal the socket reports.
QByteArray answerKey(const char *ip, unsigned short port)
{
    const QHostAddress address(QString::fromLatin1(ip));
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return transport::endpointKey(address.toString().toLatin1().constData(), port);
    return transport::endpointKey(ip, port);
}

} // namespace

void PendingRegistrations::sent(const char *ip, unsigned short port)
{
    const qint64 now = nowUs();
    dropExpired(now);
    sentAt.insert(answerKey(ip, port), now);
}

qint64 PendingRegistrations::take(const char *ip, unsigned short port)
{
    const qint64 now = nowUs();
    dropExpired(now);
    const auto it = sentAt.find(answerKey(ip, port));
    if (it == sentAt.end())
        return -1;
    const qint64 ago = now - it.value();
    sentAt.erase(it);
    return ago;
}

void PendingRegistrations::age(qint64 ms)
{
    for (qint64 &at : sentAt)
        at -= ms * 1000;
}

void PendingRegistrations::dropExpired(qint64 nowUs)
{
    for (auto it = sentAt.begin(); it != sentAt.end();)
        it = nowUs - it.value() > kAnswerWindowMs * 1000 ? sentAt.erase(it) : std::next(it);
}
