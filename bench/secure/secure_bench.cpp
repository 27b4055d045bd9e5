// Cost of the secure channel in-process, in CPU time of one thread: sealing
// and opening transport datagrams, and complete handshakes. From these, what
// a keyed transfer and a keyed message with its answer add to the plain ones.
#include <algorithm>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "secure/secure_channel.h"

using namespace secure;

namespace {

// Keeps the last datagram a channel wrote.
struct Sink : WireSink, LogSink {
    std::vector<uint8_t> last;
    void writeWire(const uint8_t *data, size_t size, Endpoint) override { last.assign(data, data + size); }
    void secureLog(const std::string &) override {}
};

// CPU time of this thread: what the channel costs, whatever else the
// machine runs meanwhile.
double nowNs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

const Endpoint kA{0x7f000002, 46801}, kB{0x7f000003, 46802};

struct Pair {
    SystemClock clock;
    Sink sinkA, sinkB;
    SystemRandom random;
    Limits limits;
    std::unique_ptr<SecureChannel> a, b;

    Pair()
    {
        limits.initiationsPerSecond = 1e9; // a benchmark is no flood
        limits.initiationBurst = 1e9;
        a = std::make_unique<SecureChannel>(sinkA, clock, random, sinkA, limits);
        b = std::make_unique<SecureChannel>(sinkB, clock, random, sinkB, limits);
        uint8_t key[kKeySize] = {1, 2, 3};
        a->setKey(key, sizeof key);
        b->setKey(key, sizeof key);
    }
    // One complete handshake from a at `from` to b at `to`; the time each
    // side spent.
    void handshake(Endpoint from, Endpoint to, double &initiatorNs, double &responderNs)
    {
        PlainDatagram plain{}, out[SecureChannel::kMaxReleased];
        uint8_t wire[kMaxWireSize];
        double t0 = nowNs();
        a->seal(plain.data(), to, wire);
        double t1 = nowNs();
        const std::vector<uint8_t> initiation = sinkA.last;
        b->open(initiation.data(), initiation.size(), from, out);
        double t2 = nowNs();
        const std::vector<uint8_t> response = sinkB.last;
        a->open(response.data(), response.size(), to, out);
        double t3 = nowNs();
        const std::vector<uint8_t> keepalive = sinkA.last;
        b->open(keepalive.data(), keepalive.size(), from, out);
        double t4 = nowNs();
        initiatorNs = (t1 - t0) + (t3 - t2);
        responderNs = (t2 - t1) + (t4 - t3);
    }
};

struct Costs {
    double sealNs, openNs;
};

// Seals n datagrams a -> b, then opens them at b; ns per datagram each.
Costs transportCosts(Pair &pair, int n)
{
    std::vector<uint8_t> wires(size_t(n) * kMaxWireSize);
    std::vector<int> sizes(static_cast<size_t>(n));
    PlainDatagram plain;
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = uint8_t(i);
    double t0 = nowNs();
    for (int i = 0; i < n; ++i)
        sizes[size_t(i)] = pair.a->seal(plain.data(), kB, &wires[size_t(i) * kMaxWireSize]);
    double t1 = nowNs();
    PlainDatagram out[SecureChannel::kMaxReleased];
    int opened = 0;
    for (int i = 0; i < n; ++i)
        opened += pair.b->open(&wires[size_t(i) * kMaxWireSize], size_t(sizes[size_t(i)]), kA, out);
    double t2 = nowNs();
    if (opened != n)
        std::fprintf(stderr, "only %d of %d datagrams opened\n", opened, n);
    return {(t1 - t0) / n, (t2 - t1) / n};
}

// The AEAD alone on a 548-byte datagram, for comparison.
double aeadNs(int n)
{
    uint8_t key[kKeySize] = {9}, plain[kPlainSize] = {}, out[kPlainSize + kTagSize], ad[16] = {};
    double t0 = nowNs();
    for (int i = 0; i < n; ++i)
        aeadSeal(out, plain, sizeof plain, ad, sizeof ad, uint64_t(i), key);
    return (nowNs() - t0) / n;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (!cryptoReady())
        return 1;
    Pair pair;
    double i = 0, r = 0;
    pair.handshake(kA, kB, i, r); // the session the transport runs under
    std::vector<double> seal, open, initiator, responder, aead;
    for (int round = 0; round < rounds; ++round) {
        const Costs t = transportCosts(pair, 31458);
        seal.push_back(t.sealNs);
        aead.push_back(aeadNs(31458));
        open.push_back(t.openNs);
        for (int h = 0; h < 200; ++h) {
            // A new peer each time: b sees a new source, a a new destination.
            const Endpoint peer{0x7f000004, uint16_t(20000 + round * 200 + h)};
            pair.handshake(peer, peer, i, r);
            initiator.push_back(i);
            responder.push_back(r);
        }
    }
    const double s = median(seal), o = median(open);
    std::printf("secure channel, medians of %d rounds, CPU time of one thread\n", rounds);
    std::printf("  seal  %7.0f ns/datagram  %6.0f MB/s of plain datagrams\n", s, 548e3 / s);
    std::printf("  open  %7.0f ns/datagram  %6.0f MB/s\n", o, 548e3 / o);
    std::printf("  (the AEAD alone: %.0f ns per 548-byte datagram)\n", median(aead));
    std::printf("  handshake: initiator %5.1f us, responder %5.1f us (both ends of one handshake)\n",
                median(initiator) / 1e3, median(responder) / 1e3);
    const double n = 31458; // datagrams of a 15 MiB message (500 payload bytes each)
    std::printf("15 MiB (31,458 datagrams): sender +%.1f ms, receiver +%.1f ms; budget 18.3 ms "
                "(0.25 x 73 ms unkeyed), each side on its own core\n",
                n * s / 1e6, n * o / 1e6);
    std::printf("100-byte message and its answer (4 datagrams each sealed and opened): +%.1f us; "
                "budget 150 us for the whole exchange\n",
                4 * (s + o) / 1e3);
    return 0;
}
