#include "transport/protocol_texts.h"

#include "transport/identity.h"

namespace transport {

QByteArray requestText(const QByteArray &name, int32_t date, int32_t time, int index)
{
    return "REQUEST$" + name + packetKey(date, time, index);
}

QByteArray receivedText(const QByteArray &name, int32_t date, int32_t time, int total)
{
    return "RECEIVED$" + name + messageKey(date, time, total);
}

} // namespace transport
