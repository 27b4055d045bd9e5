// Counts what a unit sends, through its outgoing tap: datagrams and bytes in
// all, and the bytes of each user-list message by message identity.
#pragma once

#include <QHash>
#include <QSet>

class MUDPUnit;

namespace bench {

class TrafficMeter {
public:
    explicit TrafficMeter(MUDPUnit &unit);
    ~TrafficMeter();

    void reset();
    qint64 datagrams() const { return datagrams_; }
    qint64 bytes() const { return bytes_; }
    qint64 listBytes() const { return listBytes_; }
    qint64 listMessages() const { return lists_.size(); }
    // Bytes of the user list sent most often: the one of the last
    // registration, which went to every client.
    qint64 largestListSend() const;
    qint64 wordCount(const char *word) const { return words_.value(word); }
    // "WORD:count ..." for every protocol word sent, most frequent first.
    QByteArray wordSummary() const;

private:
    MUDPUnit *unit_;
    qint64 datagrams_ = 0;
    qint64 bytes_ = 0;
    qint64 listBytes_ = 0;
    QHash<qint64, qint64> lists_; // identity -> bytes sent
    QHash<QByteArray, qint64> words_;
};

} // namespace bench
