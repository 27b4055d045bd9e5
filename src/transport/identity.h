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

QByteArray identityKey(int32_t date, int32_t time);                 // "$%d$%d"
QByteArray packetKey(int32_t date, int32_t time, int index);        // "$%d$%d$%d"
QByteArray messageKey(int32_t date, int32_t time, int total);       // "$%d$%d Total:%d"
