// The addresses and ports this unit sent a REG to, and when: only those may
// accept it as their client.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QtGlobal>

class PendingRegistrations {
public:
    // A late answer to a registration that timed out still counts.
    static constexpr qint64 kAnswerWindowMs = 20000;

    void sent(const char *ip, unsigned short port);
    // How long ago (µs) a REG went to ip:port within the window, or -1 when
    // none did; the answer uses it up.
    qint64 take(const char *ip, unsigned short port);
    // Makes every pending REG ms older (tests).
    void age(qint64 ms);

private:
    void dropExpired(qint64 nowUs);

    QHash<QByteArray, qint64> sentAt; // "ip:port" -> monotonic clock, µs
};
