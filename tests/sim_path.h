// Two units joined by a simulated path, with the library's clock replaced:
// each direction has a rate (on the wire, 576 bytes a datagram), a one-way
// delay, a drop-tail queue and drops the test chooses. run() advances the
// clock to each datagram's arrival and hands it over there, as a socket
// would, and at every millisecond lets each unit do what its timers would:
// the writer, the recovery pass, and a tick every 2 s. Nothing touches a
// socket.
#pragma once

#include <QHostAddress>
#include <deque>
#include <functional>
#include <iterator>

#include "support/manual_clock.h"
#include "support/peer.h"
#include "io/outgoing_tap.h"
#include "transport_packets.h"

// The host bytes of a message of `packets` packets, filled from `seed`.
inline QByteArray simBlock(int packets, int seed)
{
    QByteArray b(packets * 500 - 80, '\0');
    quint32 x = 2654435761u * quint32(seed + 1);
    for (char &c : b) {
        x = x * 1103515245u + 12345u;
        c = char(x >> 24);
    }
    return b;
}

struct SimPath {
    struct Direction {
        Direction(double bitsPerSecond, int64_t delayUs, int64_t queueUs)
            : bitsPerSecond(bitsPerSecond), delayUs(delayUs), queueUs(queueUs)
        {
        }
        double bitsPerSecond;
        int64_t delayUs;
        int64_t queueUs; // what the queue holds, in time at the rate
        // Chooses datagrams to lose (or to change) on the way; true: lost.
        std::function<bool(QByteArray &datagram)> drop;
        // Chooses datagrams to hold back by lateUs, behind later ones.
        std::function<bool(const QByteArray &datagram)> late;
        int64_t lateUs = 0;
        // What crossed it, counted.
        int sent = 0, queueDrops = 0, dropped = 0;
        QList<QByteArray> delivered;
        bool keep = false; // keep the delivered datagrams in `delivered`

        struct InFlight {
            int64_t atUs;
            QByteArray datagram;
        };
        std::deque<InFlight> flight;
        int64_t busyUntilUs = 0;
    };

    SimPath(Peer &a, Peer &b, ManualClock &clock, Direction ab, Direction ba)
        : a(a), b(b), clock(clock), ab(std::move(ab)), ba(std::move(ba))
    {
        a.unit().setOutgoingTap([this](QByteArray &d, QHostAddress &to, quint16 &port) {
            if (to == QHostAddress(QString::fromLatin1(this->b.addr)) && port == this->b.port)
                enter(this->ab, d);
            return false;
        });
        b.unit().setOutgoingTap([this](QByteArray &d, QHostAddress &to, quint16 &port) {
            if (to == QHostAddress(QString::fromLatin1(this->a.addr)) && port == this->a.port)
                enter(this->ba, d);
            return false;
        });
    }
    ~SimPath()
    {
        a.unit().setOutgoingTap(nullptr);
        b.unit().setOutgoingTap(nullptr);
    }
    SimPath(const SimPath &) = delete;
    SimPath &operator=(const SimPath &) = delete;

    int64_t nowUs() const { return ManualClock::read(); }

    // Lets the two know each other as the library's own units, as a
    // registration would: a control word each way and its answer.
    void introduce()
    {
        UnitInspector::sendProtocol(a.unit(), "HELLO$" + QByteArray(a.unit().parts().self.name), b.addr, b.port);
        UnitInspector::sendProtocol(b.unit(), "HELLO$" + QByteArray(b.unit().parts().self.name), a.addr, a.port);
        run(100);
    }

    // Runs until done() holds or ms of simulated time have passed.
    bool run(int64_t ms, const std::function<bool()> &done = [] { return false; })
    {
        for (int64_t step = 0; step < ms; ++step) {
            const int64_t stepEnd = nowUs() + 1000;
            for (;;) { // arrivals in time order
                Direction *d = nullptr;
                if (!ab.flight.empty() && ab.flight.front().atUs <= stepEnd)
                    d = &ab;
                if (!ba.flight.empty() && ba.flight.front().atUs <= stepEnd &&
                    (!d || ba.flight.front().atUs < d->flight.front().atUs))
                    d = &ba;
                if (!d)
                    break;
                if (d->flight.front().atUs > nowUs())
                    clock.advanceUs(d->flight.front().atUs - nowUs());
                deliverOne(*d, d == &ab ? b : a, d == &ab ? a : b);
            }
            clock.advanceUs(stepEnd - nowUs());
            for (Peer *p : {&a, &b}) {
                p->unit().parts().writer.run();
                p->unit().parts().recoveryPass.run();
            }
            if (nowUs() - lastTickUs >= 2000000) {
                lastTickUs = nowUs();
                a.tick();
                b.tick();
            }
            if (done())
                return true;
        }
        return done();
    }

    Peer &a;
    Peer &b;
    ManualClock &clock;
    Direction ab, ba;
    int64_t lastTickUs = 0;

private:
    void enter(Direction &d, QByteArray &datagram)
    {
        ++d.sent;
        if (d.drop && d.drop(datagram)) {
            ++d.dropped;
            return;
        }
        const int64_t now = nowUs();
        const int64_t serialUs = int64_t(576 * 8 * 1e6 / d.bitsPerSecond);
        const int64_t start = std::max(now, d.busyUntilUs);
        if (start - now > d.queueUs) { // the queue is full
            ++d.queueDrops;
            return;
        }
        d.busyUntilUs = start + serialUs;
        const int64_t at = d.busyUntilUs + d.delayUs + (d.late && d.late(datagram) ? d.lateUs : 0);
        auto before = d.flight.end(); // in time order, held-back ones behind those that overtook them
        while (before != d.flight.begin() && std::prev(before)->atUs > at)
            --before;
        d.flight.insert(before, {at, datagram});
    }

    void deliverOne(Direction &d, Peer &to, Peer &from)
    {
        const QByteArray datagram = d.flight.front().datagram;
        d.flight.pop_front();
        if (d.keep)
            d.delivered << datagram;
        to->receiveDatagram(datagram.constData(), datagram.size(), QHostAddress(QString::fromLatin1(from.addr)),
                            from.port);
    }
};
