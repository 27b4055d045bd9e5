// The CRC-16 of ISO 3309 over a packet's payload (Qt's qChecksum with
// Qt::ChecksumIso3309), computed eight bytes at a time: it runs for every
// datagram received and every packet written.
#pragma once

#include <cstddef>
#include <cstdint>

namespace transport {

uint16_t payloadChecksum(const char *data, size_t size);

} // namespace transport
