#include "transport/local_identity.h"

#include <cstring>

#include "text/fixed_text.h"
#include "transport/checksum.h"

QByteArray LocalIdentity::nameBytes() const { return text::fieldBytes(name); }

MessageIdentity LocalIdentity::nextIdentity() { return ::nextIdentity(lastIdentity, currentIdentity()); }

void LocalIdentity::fillProtocolPacket(NOLVUDPPACKET &packet, const char *data, size_t size)
{
    std::memset(&packet, 0, sizeof packet);
    const MessageIdentity id = nextIdentity();
    packet.date = id.date;
    packet.time = id.time;
    packet.type = wire::kPacketType;
    std::memcpy(packet.localIp, addr, sizeof packet.localIp);
    packet.localPort = boundPort;
    packet.index = 1;
    packet.total = 1;
    packet.len = static_cast<int16_t>(size);
    std::memcpy(packet.data, data, size);
    packet.checksum = transport::payloadChecksum(packet.data, sizeof packet.data);
}
