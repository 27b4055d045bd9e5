// Index keys of the buffer and send-record tables.
#pragma once

#include <QHashFunctions>
#include <cstring>

#include "transport/wire.h"

// A message identity qualified by an address text and port. Outgoing buffers
// use the identity alone (empty address, port 0).
struct MessageKey {
    int32_t date = 0;
    int32_t time = 0;
    uint16_t port = 0;
    char ip[16] = {};

    MessageKey() = default;
    MessageKey(int32_t date, int32_t time, const char *address = nullptr, uint16_t port = 0);

    bool operator==(const MessageKey &o) const
    {
        return date == o.date && time == o.time && port == o.port && std::memcmp(ip, o.ip, sizeof ip) == 0;
    }
};

size_t qHash(const MessageKey &key, size_t seed = 0) noexcept;

MessageKey sentBufferKey(const NOLVUDPBUFFER *buffer);
MessageKey recvBufferKey(const NOLVUDPBUFFER *buffer);
MessageKey sendRecordKey(const SENDRECORD *record);
