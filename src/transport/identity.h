// Message identity and the key texts that name messages and packets in
// protocol texts and log lines.
#pragma once

#include <QByteArray>
#include <cstdint>

struct MessageIdentity {
    int32_t date; // Julian day of the local date
    int32_t time; // ms since local midnight
};

MessageIdentity currentIdentity();

// The identity for a unit's next message, given the one it used last (which
// it updates) and the clock: the clock's value, or one millisecond past the
// last when the clock has not moved beyond it, so that messages sent within
// one millisecond (a control word sent during the waits of a buffered send)
// are never taken for one another.
MessageIdentity nextIdentity(MessageIdentity &last, MessageIdentity now);

QByteArray identityKey(int32_t date, int32_t time);                 // "$%d$%d"
QByteArray packetKey(int32_t date, int32_t time, int index);        // "$%d$%d$%d"
QByteArray messageKey(int32_t date, int32_t time, int total);       // "$%d$%d Total:%d"
