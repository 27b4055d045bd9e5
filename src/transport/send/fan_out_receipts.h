// The receipts of a message sent to many destinations at once (a server's
// list to its clients). When the receivers' answers are late all together
// (the sender's or their hosts are busy), that lateness is no loss: probing
// each silent destination early would double the datagrams just when every
// side is behind. So a destination of such a message is probed early only
// once half of the destinations have answered (or a second after its write
// if they have not), and while the answers still come in, only after its own
// wait counted from the latest of them: a silent destination is taken for
// lost once the others' answers have stopped, not while they are spreading
// out over a busy second. A lost tail on one path costs about one wait more
// than the spread of the answers, which is held to a few seconds.
#pragma once

#include <QHash>
#include <cstdint>

class FanOutReceipts {
public:
    // A message went to `destinations` destinations.
    void sent(int32_t date, int32_t time, int destinations, int64_t nowMs);
    // One of them acknowledged it.
    void answered(int32_t date, int32_t time, int64_t nowMs);
    // The earliest an early probe of a destination of the message written
    // last at `lastWriteMs` may go, given its own wait; 0 when it goes by its
    // own wait alone (a message to few destinations).
    int64_t probeNotBefore(int32_t date, int32_t time, int64_t lastWriteMs, int64_t waitMs) const;
    // Forgets messages whose destinations all answered or that are older
    // than `maxAgeMs`.
    void prune(int64_t nowMs, int64_t maxAgeMs);

    static constexpr int kMinDestinations = 16;
    static constexpr int64_t kMaxHoldMs = 1000;
    // Answers later than this after the message's write no longer hold the
    // probes of the silent destinations back.
    static constexpr int64_t kMaxSpreadMs = 3000;

private:
    struct Message {
        int destinations = 0;
        int answered = 0;
        int64_t sentMs = 0;
        int64_t halfAnsweredMs = 0;
        int64_t lastAnswerMs = 0;
    };
    static qint64 key(int32_t date, int32_t time) { return (qint64(date) << 32) | quint32(time); }
    QHash<qint64, Message> messages;
};
