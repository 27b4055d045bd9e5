#include "transport/record_keys.h"

#include "text/fixed_text.h"

MessageKey::MessageKey(int32_t date, int32_t time, const char *address, uint16_t port)
    : date(date), time(time), port(port)
{
    text::copyText(ip, address);
}

size_t qHash(const MessageKey &key, size_t seed) noexcept
{
    return qHashMulti(seed, key.date, key.time, key.port,
                      QByteArrayView(key.ip, static_cast<qsizetype>(strnlen(key.ip, sizeof key.ip))));
}

MessageKey sentBufferKey(const NOLVUDPBUFFER *buffer) { return MessageKey(buffer->date, buffer->time); }

MessageKey recvBufferKey(const NOLVUDPBUFFER *buffer)
{
    return MessageKey(buffer->date, buffer->time, buffer->ip, buffer->port);
}

MessageKey sendRecordKey(const SENDRECORD *record)
{
    return MessageKey(record->date, record->time, record->ip, record->port);
}
