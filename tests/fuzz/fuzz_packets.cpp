// Feeds a fresh unit arbitrary datagrams from arbitrary sources, with timer
// ticks in between (the input format is in fuzz_input.h). Everything the
// unit sends is dropped by its outgoing tap, and the waits do not sleep.
#include <QCoreApplication>
#include <QHostAddress>
#include <QTimer>
#include <cstring>
#include <memory>

#include "fuzz_input.h"
#include "platform/sleep.h"
#include "support/unit_probe.h"
#include "io/outgoing_tap.h"

namespace {

struct Reader {
    const uint8_t *at;
    size_t left;

    bool empty() const { return left == 0; }
    uint8_t byte()
    {
        if (!left)
            return 0;
        --left;
        return *at++;
    }
    uint16_t u16()
    {
        const uint16_t lo = byte();
        return static_cast<uint16_t>(lo | (byte() << 8));
    }
    // Up to n bytes, fewer when the input ends.
    QByteArray bytes(size_t n)
    {
        n = n < left ? n : left;
        QByteArray b(reinterpret_cast<const char *>(at), static_cast<qsizetype>(n));
        at += n;
        left -= n;
        return b;
    }
};

QHostAddress source(uint8_t choice, Reader &in)
{
    switch (choice) {
    case 6: {
        quint32 v4 = 0;
        for (int i = 0; i < 4; ++i)
            v4 = (v4 << 8) | in.byte();
        return QHostAddress(v4);
    }
    case 7: {
        Q_IPV6ADDR v6;
        for (unsigned char &b : v6.c)
            b = in.byte();
        return QHostAddress(v6);
    }
    default:
        return QHostAddress(QHostAddress(QStringLiteral("127.0.0.2")).toIPv4Address() + choice);
    }
}

unsigned short sourcePort(uint8_t choice, Reader &in)
{
    switch (choice) {
    case 0: return 47000;
    case 1: return 47001;
    case 2: return 45454;
    default: return in.u16();
    }
}

// A host that calls back into the unit from its window procedure, as hosts
// may: the fuzzer picks how often and with what.
struct Reentry {
    MUDPUnit *unit = nullptr;
    int period = 0;
    int action = 0;
    int seen = 0;
    int left = 0;
} reentry;

LRESULT reenteringWindow(HWND, UINT, WPARAM, LPARAM)
{
    Reentry &r = reentry;
    if (!r.unit || r.period == 0 || r.left == 0 || ++r.seen % r.period != 0)
        return 0;
    --r.left;
    switch (r.action % 4) {
    case 0: r.unit->regToServer("127.0.0.9", 40000); break;
    case 1: r.unit->sendBufferToServer("again", 5, "127.0.0.3", 47000, nullptr); break;
    case 2: UnitInspector::tick(*r.unit); break;
    default: r.unit->sendBufferToClient("everyone", 8, "0.0.0.0", 0, nullptr); break;
    }
    return 0;
}

void noSleep(int) {}

// A unit that writes nothing, with the host window that re-enters it.
std::unique_ptr<MUDPUnit> makeUnit(MUDPWindow &window)
{
    auto unit = std::make_unique<MUDPUnit>();
    reentry = Reentry{unit.get(), 0, 0, 0, fuzzinput::kMaxReentries};
    UnitInspector::timer(*unit)->stop();
    unit.get()->setOutgoingTap([](QByteArray &, QHostAddress &, quint16 &) { return false; });
    unit->setLocalName("fuzz");
    unit->setLocalAddr("127.0.0.2");
    unit->setHostWindow(&window);
    // As if the unit had sent a REG to every fixed source, so that their
    // acceptances, and then their user lists and hole requests, are taken.
    for (quint32 k = 0; k < fuzzinput::AddressV4; ++k) {
        const QByteArray ip = QHostAddress(QHostAddress(QStringLiteral("127.0.0.2")).toIPv4Address() + k).toString().toLatin1();
        for (unsigned short port : {47000, 47001, 45454})
            unit->parts().registration.pending().sent(ip.constData(), port);
    }
    return unit;
}

// The datagram that op reads from the input.
QByteArray readDatagram(uint8_t op, Reader &in, const QByteArray &previous)
{
    QByteArray datagram;
    switch ((op >> 5) & 0x03) {
    case 0: datagram = in.bytes(sizeof(NOLVUDPPACKET)); break;
    case 1: datagram = in.bytes(in.u16() % fuzzinput::kMaxSize); break;
    case 2: datagram = previous; break;
    default: datagram = in.bytes(in.byte()); break;
    }
    if ((op & fuzzinput::kFixChecksum) && datagram.size() >= qsizetype(sizeof(NOLVUDPPACKET))) {
        NOLVUDPPACKET p;
        std::memcpy(&p, datagram.constData(), sizeof p);
        p.checksum = qChecksum(QByteArrayView(p.data, sizeof p.data), Qt::ChecksumIso3309);
        std::memcpy(datagram.data(), &p, sizeof p);
    }
    return datagram;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "mudp-fuzz";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    platform::setSleepFunction(noSleep);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static MUDPWindow window{reenteringWindow, nullptr};
    std::unique_ptr<MUDPUnit> unit = makeUnit(window);
    Reader in{data, size};
    QByteArray previous;
    int ticks = 0;
    while (!in.empty()) {
        const uint8_t op = in.byte();
        if (op == fuzzinput::kReentry) {
            reentry.period = in.byte();
            reentry.action = in.byte();
            continue;
        }
        if (op == fuzzinput::kTick) {
            // Every tick may send up to a thousand paced requests; a bounded
            // number keeps one input within the time limit.
            if (ticks++ < fuzzinput::kMaxTicks)
                UnitInspector::tick(*unit);
            continue;
        }
        const QHostAddress from = source(op & 0x07, in);
        const unsigned short port = sourcePort((op >> 3) & 0x03, in);
        const QByteArray datagram = readDatagram(op, in, previous);
        // A detached copy of exactly the datagram's size, so that reads past
        // its end are caught.
        std::unique_ptr<char[]> exact(new char[size_t(datagram.size())]);
        std::memcpy(exact.get(), datagram.constData(), size_t(datagram.size()));
        unit->receiveDatagram(exact.get(), datagram.size(), from, port);
        previous = datagram;
    }
    reentry.unit = nullptr;
    unit.get()->setOutgoingTap(nullptr);
    return 0;
}
