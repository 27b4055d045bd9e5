// What the incoming records may hold: a limit for all of them together and a
// smaller one per source address, so that one sender, however many messages
// it announces, holds no more than a small share of the whole.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QtGlobal>

class ReceiveBudget {
public:
    static constexpr qint64 kTotalBytes = 512ll * 1024 * 1024;     // about 30 messages of the largest size
    static constexpr qint64 kPerSourceBytes = 64ll * 1024 * 1024;  // an eighth: 3 of the largest

    // Whether `bytes` more from the source address `ip` stay inside both limits.
    bool fits(const char *ip, qint64 bytes) const;
    void add(const char *ip, qint64 bytes);
    void release(const char *ip, qint64 bytes);

    qint64 held() const { return total; }
    qint64 heldFrom(const char *ip) const;

private:
    qint64 total = 0;
    QHash<QByteArray, qint64> bySource;
};
