// Strangers by the thousand: FEEDBACK and numbered datagrams from distinct
// ports, alone and beside a real transfer; and a host that waits inside a
// notification while datagrams keep coming. Memory is the heap in use.
#include <QRandomGenerator>
#include <QTimer>
#include <algorithm>

#include "forgery.h"
#include "scenarios.h"

using namespace forgery;

namespace {

// Stranger datagram n of a flood: a FEEDBACK with a random feedback mark
// asking for the message date/time (to `sender`), or a FEEDBACK word whose
// data mark carries a random number (to `receiver`); each from its own port.
void strangerDatagram(int n, Peer &sender, Peer &receiver, int32_t date, int32_t time)
{
    const char *ip = n < 60000 ? "127.0.0.7" : "127.0.0.8";
    const quint16 port = quint16(1024 + n % 60000);
    const uint32_t random = QRandomGenerator::global()->generate();
    if (n % 2 == 0) {
        NOLVUDPPACKET report = tp::packet(kDate, n, 1, 1, lossReport("mallory", date, time, 1, 2000));
        mark::writeFeedback(report, random, 0, random);
        inject(sender, report, ip, port);
    } else {
        NOLVUDPPACKET numbered = tp::single(kDate, n, "FEEDBACK$mallory");
        mark::writeData(numbered, mark::FeedbackNow | mark::NewSeries, 0, random, 0);
        inject(receiver, numbered, ip, port);
    }
}

struct Beside {
    int64_t timeUs = 0;
    qint64 grewBytes = 0;
    int paths = 0;
};

// A 2,000-packet transfer, with `flood` stranger datagrams spread over it
// (100 a millisecond; the rest after it).
Beside transferBeside(int flood)
{
    Pair p;
    p.path->introduce();
    const qint64 before = heapInUse();
    int sent = 0;
    Beside r;
    r.timeUs = p.transfer(p.a, p.b, 2000, 11, [&] {
        const NOLVUDPBUFFER *message = p.a.unit().parts().outgoing.all().last();
        for (int i = 0; i < 100 && sent < flood; ++i)
            strangerDatagram(sent++, p.a, p.b, message->date, message->time);
    });
    const auto [date, time] = p.lastSent();
    while (sent < flood)
        strangerDatagram(sent++, p.a, p.b, date, time);
    r.grewBytes = heapInUse() - before;
    r.paths = p.a.unit().parts().paths.size() + p.b.unit().parts().paths.size();
    return r;
}

} // namespace

void feedbackSources()
{
    Pair p;
    p.path->introduce();
    p.transfer(200, 7);
    const auto [date, time] = p.lastSent();
    const qint64 before = heapInUse();
    for (int n = 0; n < 30000; ++n) {
        NOLVUDPPACKET report = tp::packet(kDate, n, 1, 1, lossReport("mallory", date, time, 1, 200));
        const uint32_t random = QRandomGenerator::global()->generate();
        mark::writeFeedback(report, random, 0, random);
        inject(p.a, report, "127.0.0.7", quint16(1024 + n));
    }
    std::printf("30,000 FEEDBACK sources: heap +%.2f MiB, %d paths held\n", mib(heapInUse() - before),
                p.a.unit().parts().paths.size());
}

void strangersBeside()
{
    const Beside alone = transferBeside(0);
    const Beside beside = transferBeside(100000);
    std::printf("100,000 stranger datagrams (FEEDBACK with random feedback marks to the sender, numbered ones to the "
                "receiver), each from its own port, during a transfer:\n"
                "  transfer %.1f ms alone, %.1f ms beside them (%.2f x); heap +%.2f MiB alone, +%.2f MiB beside "
                "them (%.2f MiB for the strangers); %d paths held\n",
                ms(alone.timeUs), ms(beside.timeUs), double(beside.timeUs) / double(alone.timeUs), mib(alone.grewBytes),
                mib(beside.grewBytes), mib(beside.grewBytes - alone.grewBytes), beside.paths);
}

namespace {
struct WaitingHost {
    MUDPUnit *unit = nullptr;
    qint64 atStart = 0, most = 0, atEnd = 0;
    int fed = 0;
    bool waited = false;
    static constexpr int kDatagrams = 50000;

    static LRESULT proc(HWND w, UINT message, WPARAM, LPARAM)
    {
        auto *self = static_cast<WaitingHost *>(w->user);
        if (message == WM_UDP_DATA && !self->waited) {
            self->waited = true;
            self->wait();
        }
        return 0;
    }
    // A registration to a silent address, while datagrams keep coming.
    void wait()
    {
        atStart = heapInUse();
        QTimer feeder;
        QObject::connect(&feeder, &QTimer::timeout, [this] {
            most = std::max(most, heapInUse());
            for (int i = 0; i < 1000 && fed < kDatagrams; ++i, ++fed) {
                const NOLVUDPPACKET p = tp::single(kDate, 100 + fed, "FEEDBACK$peer");
                unit->receiveDatagram(reinterpret_cast<const char *>(&p), sizeof p,
                                      QHostAddress(QStringLiteral("127.0.0.3")), 47000);
            }
        });
        feeder.start(0);
        unit->regToServer("127.0.0.9", 40000);
        most = std::max(most, heapInUse());
        atEnd = heapInUse();
    }
};
} // namespace

void waitingHost()
{
    MUDPUnit unit;
    unit.setOutgoingTap([](QByteArray &, QHostAddress &, quint16 &) { return false; });
    WaitingHost host;
    host.unit = &unit;
    MUDPWindow window{&WaitingHost::proc, &host};
    unit.setHostWindow(&window);
    const NOLVUDPPACKET data = tp::message(kDate, 10, "DATA$peer", "wait here")[0];
    unit.receiveDatagram(reinterpret_cast<const char *>(&data), sizeof data, QHostAddress(QStringLiteral("127.0.0.3")),
                         47000);
    unit.setOutgoingTap(nullptr);
    std::printf("host waiting in its WM_UDP_DATA procedure (regToServer to a silent address) while %d datagrams "
                "are handled: heap at most +%.2f MiB, +%.2f MiB at the end of the wait\n",
                host.fed, mib(host.most - host.atStart), mib(host.atEnd - host.atStart));
}
