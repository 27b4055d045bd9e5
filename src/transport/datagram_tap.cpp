#include "transport/datagram_tap.h"

#include <QHash>

namespace transport {

namespace {
QHash<const MUDPUnit *, OutgoingTap> &taps()
{
    static QHash<const MUDPUnit *, OutgoingTap> table;
    return table;
}
} // namespace

void setOutgoingTap(const MUDPUnit *unit, OutgoingTap tap) { taps().insert(unit, std::move(tap)); }

void clearOutgoingTap(const MUDPUnit *unit) { taps().remove(unit); }

bool hasOutgoingTap(const MUDPUnit *unit)
{
    const auto &table = taps();
    return !table.isEmpty() && table.contains(unit);
}

bool passOutgoing(const MUDPUnit *unit, QByteArray &datagram, QHostAddress &address, quint16 &port)
{
    auto &table = taps();
    if (table.isEmpty())
        return true;
    auto it = table.constFind(unit);
    if (it == table.constEnd())
        return true;
    OutgoingTap tap = it.value(); // a copy: the tap may replace itself
    return tap(datagram, address, port);
}

} // namespace transport
