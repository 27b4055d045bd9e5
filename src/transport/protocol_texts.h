// The texts of the control words that the transport builds in more than one
// place.
#pragma once

#include <QByteArray>
#include <cstdint>

namespace transport {

// "REQUEST$name$date$time$index": packet `index` of a message is missing.
QByteArray requestText(const QByteArray &name, int32_t date, int32_t time, int index);
// "RECEIVED$name$date$time Total:n": a message arrived whole.
QByteArray receivedText(const QByteArray &name, int32_t date, int32_t time, int total);

} // namespace transport
