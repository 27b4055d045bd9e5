// Crafting datagrams by hand and watching what a unit sends, for the
// transport tests.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <cstring>
#include <vector>

#include "support/manual_clock.h"
#include "support/unit_probe.h"
#include "transport/buffers.h"
#include "io/outgoing_tap.h"
#include "transport/message_header.h"
#include "transport/wire.h"
#include "unit/mudp_unit.h"

namespace tp {

inline quint16 payloadChecksum(const NOLVUDPPACKET &p)
{
    return qChecksum(QByteArrayView(p.data, sizeof p.data), Qt::ChecksumIso3309);
}

// One packet carrying `payload` (at most 500 bytes) with a valid checksum.
inline NOLVUDPPACKET packet(int32_t date, int32_t time, int index, int total, const QByteArray &payload,
                            int len = -1)
{
    NOLVUDPPACKET p;
    std::memset(&p, 0, sizeof p);
    p.date = date;
    p.time = time;
    p.type = wire::kPacketType;
    std::strcpy(p.localIp, "127.0.0.9");
    p.index = static_cast<int16_t>(index);
    p.total = static_cast<int16_t>(total);
    const int n = payload.size() < wire::kPayloadSize ? int(payload.size()) : wire::kPayloadSize;
    std::memcpy(p.data, payload.constData(), static_cast<size_t>(n));
    p.len = static_cast<int16_t>(len >= 0 ? len : n);
    p.checksum = payloadChecksum(p);
    return p;
}

// A whole message (80-byte header `head`, then `body`) cut into packets the
// way a sender cuts it.
inline std::vector<NOLVUDPPACKET> message(int32_t date, int32_t time, const QByteArray &head,
                                          const QByteArray &body = QByteArray())
{
    QByteArray all(wire::kMessageHeaderSize, '\0');
    std::memcpy(all.data(), head.constData(), static_cast<size_t>(qMin<qsizetype>(head.size(), 80)));
    all += body;
    const int n = int((all.size() + wire::kPayloadSize - 1) / wire::kPayloadSize);
    std::vector<NOLVUDPPACKET> out;
    for (int i = 0; i < n; ++i)
        out.push_back(packet(date, time, i + 1, n, all.mid(i * wire::kPayloadSize, wire::kPayloadSize)));
    return out;
}

// A single-packet protocol message whose payload is `text`.
inline NOLVUDPPACKET single(int32_t date, int32_t time, const QByteArray &text)
{
    return packet(date, time, 1, 1, text);
}

// Packet i (0-based) of an outgoing buffer, as it is written.
inline NOLVUDPPACKET packetOf(NOLVUDPBUFFER *buffer, int i)
{
    NOLVUDPPACKET p;
    std::memset(&p, 0, sizeof p);
    makePacket(buffer, i, p);
    return p;
}

inline QByteArray bytesOf(const NOLVUDPPACKET &p)
{
    return QByteArray(reinterpret_cast<const char *>(&p), sizeof p);
}

inline NOLVUDPPACKET packetOf(const QByteArray &datagram)
{
    NOLVUDPPACKET p;
    std::memset(&p, 0, sizeof p);
    std::memcpy(&p, datagram.constData(), qMin<size_t>(sizeof p, size_t(datagram.size())));
    return p;
}

// The text a single-packet datagram carries (its payload up to the first NUL).
inline QByteArray textOf(const QByteArray &datagram)
{
    const NOLVUDPPACKET p = packetOf(datagram);
    return QByteArray(p.data, int(strnlen(p.data, sizeof p.data)));
}

inline QByteArray wordOf(const QByteArray &datagram)
{
    return HeaderFields::parse(packetOf(datagram).data, wire::kMessageHeaderSize).text(0);
}

// Lets the unit write all it has queued, stepping a replaced clock a round
// at a time.
inline void writeQueued(MUDPUnit &unit, ManualClock &clock)
{
    for (int round = 0; round < 100000 && unit.hasQueuedWrites(); ++round) {
        clock.advance(2);
        unit.parts().writer.run();
    }
}

// A datagram's bytes without its reserved ones, which carry this library's
// marks and differ from write to write.
inline QByteArray unmarked(QByteArray datagram)
{
    if (datagram.size() >= 48)
        std::memset(datagram.data() + 36, 0, 12);
    return datagram;
}

struct Sent {
    QByteArray datagram;
    QHostAddress address;
    quint16 port;
};

// Datagrams written, in order, and the words they carry.
struct SentLog {
    int countWord(const char *word) const
    {
        int n = 0;
        for (const Sent &s : sent)
            if (wordOf(s.datagram) == word)
                ++n;
        return n;
    }
    QList<QByteArray> texts(const char *word) const
    {
        QList<QByteArray> out;
        for (const Sent &s : sent)
            if (wordOf(s.datagram) == word)
                out << textOf(s.datagram);
        return out;
    }

    QList<Sent> sent;
};

// Records every datagram a unit sends; `pass` decides whether it goes out.
struct Capture : SentLog {
    explicit Capture(MUDPUnit &unit, bool pass = false) : unit(&unit)
    {
        unit.setOutgoingTap([this, pass](QByteArray &d, QHostAddress &a, quint16 &p) {
            sent.append({d, a, p});
            return pass;
        });
    }
    ~Capture() { unit->setOutgoingTap(nullptr); }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;

    MUDPUnit *unit;
};

} // namespace tp
