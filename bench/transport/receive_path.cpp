// The receive path's cost per datagram, in-process: prebuilt datagrams of
// whole messages are handed to receiveDatagram one after the other; the
// unit's answers are dropped by its outgoing tap.
//
//   mudp_bench_receive_path [messages] [packets-per-message]
#include <QHostAddress>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_host.h"
#include "platform/sleep.h"
#include "io/outgoing_tap.h"
#include "unit/mudp_unit.h"

namespace {

std::vector<NOLVUDPPACKET> message(int32_t time, int packets, const char *header = "DATA$peer")
{
    QByteArray all = QByteArray(header).leftJustified(80, '\0') + bench::pattern(int64_t(packets) * 500 - 80);
    std::vector<NOLVUDPPACKET> out(static_cast<size_t>(packets));
    for (int i = 0; i < packets; ++i) {
        NOLVUDPPACKET &p = out[size_t(i)];
        std::memset(&p, 0, sizeof p);
        p.date = 2461000;
        p.time = time;
        p.type = wire::kPacketType;
        std::strcpy(p.localIp, "127.0.0.3");
        p.index = int16_t(i + 1);
        p.total = int16_t(packets);
        p.len = 500;
        std::memcpy(p.data, all.constData() + i * 500, 500);
        p.checksum = qChecksum(QByteArrayView(p.data, sizeof p.data), Qt::ChecksumIso3309);
    }
    return out;
}

struct Result {
    double nsPerDatagram;
    double cpuNsPerDatagram;
};

// Feeds `messages` messages of `packets` packets; `repeat` feeds every
// datagram twice, the second copy taking the "Repeated Data:" path.
Result feed(MUDPUnit &unit, int messages, int packets, int32_t firstTime, bool repeat)
{
    std::vector<std::vector<NOLVUDPPACKET>> all;
    for (int m = 0; m < messages; ++m)
        all.push_back(message(firstTime + m, packets));
    const QHostAddress from(QStringLiteral("127.0.0.3"));
    const int64_t cpu0 = bench::cpuUs();
    const int64_t t0 = bench::monotonicNs();
    int64_t count = 0;
    for (const auto &msg : all)
        for (const NOLVUDPPACKET &p : msg)
            for (int k = 0; k < (repeat ? 2 : 1); ++k, ++count)
                unit.receiveDatagram(reinterpret_cast<const char *>(&p), sizeof p, from, 47000);
    const int64_t t1 = bench::monotonicNs();
    const int64_t cpu1 = bench::cpuUs();
    return {double(t1 - t0) / double(count), double(cpu1 - cpu0) * 1000.0 / double(count)};
}

// Feeds the first packets of `count` two-packet messages with this header
// from one stranger: incomplete messages that stay in the table.
Result firstPackets(MUDPUnit &unit, int count, int32_t firstTime, const char *header)
{
    std::vector<NOLVUDPPACKET> firsts;
    for (int m = 0; m < count; ++m)
        firsts.push_back(message(firstTime + m, 2, header)[0]);
    const QHostAddress from(QStringLiteral("127.0.0.5"));
    const int64_t cpu0 = bench::cpuUs();
    const int64_t t0 = bench::monotonicNs();
    for (const NOLVUDPPACKET &p : firsts)
        unit.receiveDatagram(reinterpret_cast<const char *>(&p), sizeof p, from, 47005);
    return {double(bench::monotonicNs() - t0) / count, double(bench::cpuUs() - cpu0) * 1000.0 / count};
}

} // namespace

int main(int argc, char **argv)
{
    const int messages = argc > 1 ? std::atoi(argv[1]) : 40;
    const int packets = argc > 2 ? std::atoi(argv[2]) : 2000;
    if (messages < 1 || packets < 1 || packets > 32767) {
        std::fprintf(stderr, "usage: %s [messages] [packets 1..32767]\n", argv[0]);
        return 2;
    }
    bench::application(argc, argv);
    platform::setSleepFunction([](int) {}); // the 2 ms waits per message would dominate otherwise
    MUDPUnit unit;
    unit.setLocalName("receiver");
    unit.setLocalAddr("127.0.0.2");
    unit.setOutgoingTap([](QByteArray &, QHostAddress &, quint16 &) { return false; });
    int delivered = 0;
    bench::Host host;
    host.onData = [&](const char *, int) { ++delivered; };
    unit.setHostWindow(&host.window);

    const Result fresh = feed(unit, messages, packets, 1000, false);
    const Result repeated = feed(unit, messages, packets, 100000, true);
    std::printf("\nreceive path, %d messages of %d packets (%lld datagrams each run)\n", messages, packets,
                (long long)messages * packets);
    std::printf("%-34s %12s %12s\n", "case", "wall ns/dgram", "cpu ns/dgram");
    std::printf("%-34s %12.0f %12.0f\n", "new packets, messages completed", fresh.nsPerDatagram,
                fresh.cpuNsPerDatagram);
    std::printf("%-34s %12.0f %12.0f\n", "each packet twice (half repeats)", repeated.nsPerDatagram,
                repeated.cpuNsPerDatagram);
    // First packets of user lists from a stranger (not a server of this
    // unit) cost what first packets of data do, however many there are.
    const int firsts = 40000;
    MUDPUnit lists, datas;
    for (MUDPUnit *u : {&lists, &datas})
        u->setOutgoingTap([](QByteArray &, QHostAddress &, quint16 &) { return false; });
    const Result data = firstPackets(datas, firsts, 200000, "DATA$peer");
    const Result list = firstPackets(lists, firsts, 300000, "PEERLIST$peer$0$0$0");
    std::printf("%-34s %12.0f %12.0f\n", "40,000 first packets of DATA", data.nsPerDatagram, data.cpuNsPerDatagram);
    std::printf("%-34s %12.0f %12.0f\n", "40,000 first packets of PEERLIST", list.nsPerDatagram, list.cpuNsPerDatagram);
    std::printf("(sleeps replaced: the waits of each completed message run one round of events)\n");
    return delivered == 2 * messages ? 0 : 1;
}
