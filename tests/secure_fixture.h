// Two or more secure channels on a fake wire, with a clock, random source and
// log of their own: what the channel tests share. Datagrams in flight wait in
// one queue until pump() delivers them (or loses them, at the loss chance);
// the clock moves only by advance(), which runs every channel's poll().
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "secure/secure_channel.h"

namespace securetest {

using namespace secure;

struct FakeClock : Clock {
    int64_t mono = 5'000'000;
    int64_t wall = 1'700'000'000'000'000;
    int64_t monotonicUs() override { return mono; }
    int64_t wallUs() override { return wall; }
};

// A reproducible stream; scripted chunks, when given, come first.
struct FakeRandom : RandomSource {
    std::mt19937_64 stream;
    std::deque<std::vector<uint8_t>> script;
    explicit FakeRandom(uint64_t seed) : stream(seed) {}
    void fill(uint8_t *out, size_t size) override
    {
        if (!script.empty() && script.front().size() == size) {
            std::memcpy(out, script.front().data(), size);
            script.pop_front();
            return;
        }
        for (size_t i = 0; i < size; ++i)
            out[i] = uint8_t(stream());
    }
};

struct FakeLog : LogSink {
    std::vector<std::string> lines;
    void secureLog(const std::string &line) override { lines.push_back(line); }
};

// A node's view of the net's clock, its wall clock set off by skew.
struct NodeClock : Clock {
    Clock &base;
    int64_t skew = 0;
    explicit NodeClock(Clock &base) : base(base) {}
    int64_t monotonicUs() override { return base.monotonicUs(); }
    int64_t wallUs() override { return base.wallUs() + skew; }
};

struct InFlight {
    std::vector<uint8_t> bytes;
    Endpoint from, to;
};

struct Net;

// One unit's channel; its WireSink puts datagrams on the net.
struct Node : WireSink {
    Net &net;
    Endpoint at;
    NodeClock clock;
    FakeRandom random;
    FakeLog log;
    std::unique_ptr<SecureChannel> channel;
    std::vector<std::pair<Endpoint, PlainDatagram>> delivered;
    uint64_t bytesSent = 0;

    Node(Net &net, Endpoint at, uint64_t seed, const Limits &limits);
    void writeWire(const uint8_t *data, size_t size, Endpoint to) override;
    // Seals one plain datagram to `to` and puts what the caller must write on the net.
    void send(const PlainDatagram &plain, Endpoint to);
    void receive(const InFlight &datagram);
};

struct Net {
    FakeClock clock;
    std::deque<InFlight> flight;
    std::vector<InFlight> written; // every datagram ever put on the net
    std::vector<std::unique_ptr<Node>> nodes;
    std::mt19937_64 lossStream{7};
    double loss = 0;
    uint64_t seeds = 100; // of the nodes' random streams, one after the other

    Node &add(Endpoint at, const Limits &limits = Limits())
    {
        nodes.push_back(std::make_unique<Node>(*this, at, seeds++, limits));
        return *nodes.back();
    }
    Node *at(Endpoint e)
    {
        for (auto &n : nodes)
            if (n->at == e)
                return n.get();
        return nullptr;
    }
    void put(const uint8_t *data, size_t size, Endpoint from, Endpoint to)
    {
        InFlight d{std::vector<uint8_t>(data, data + size), from, to};
        written.push_back(d);
        flight.push_back(std::move(d));
    }
    // Delivers what is in flight, and what that causes, up to a bound.
    void pump(int bound = 100000)
    {
        for (int i = 0; i < bound && !flight.empty(); ++i) {
            InFlight d = std::move(flight.front());
            flight.pop_front();
            if (loss > 0 && std::uniform_real_distribution<double>(0, 1)(lossStream) < loss)
                continue;
            if (Node *n = at(d.to))
                n->receive(d);
        }
    }
    void advance(int64_t us)
    {
        clock.mono += us;
        clock.wall += us;
        for (auto &n : nodes)
            n->channel->poll();
    }
};

inline Node::Node(Net &net, Endpoint at, uint64_t seed, const Limits &limits)
    : net(net), at(at), clock(net.clock), random(seed),
      channel(std::make_unique<SecureChannel>(*this, clock, random, log, limits))
{
}

inline void Node::writeWire(const uint8_t *data, size_t size, Endpoint to)
{
    bytesSent += size;
    net.put(data, size, at, to);
}

inline void Node::send(const PlainDatagram &plain, Endpoint to)
{
    uint8_t out[kMaxWireSize];
    const int size = channel->seal(plain.data(), to, out);
    if (size == SecureChannel::kPassThrough)
        writeWire(plain.data(), plain.size(), to);
    else if (size > 0)
        writeWire(out, size_t(size), to);
}

inline void Node::receive(const InFlight &datagram)
{
    PlainDatagram out[SecureChannel::kMaxReleased];
    const int n = channel->open(datagram.bytes.data(), datagram.bytes.size(), datagram.from, out);
    if (n == SecureChannel::kPassThrough && datagram.bytes.size() == kPlainSize) {
        delivered.emplace_back(datagram.from, PlainDatagram());
        std::memcpy(delivered.back().second.data(), datagram.bytes.data(), kPlainSize);
    }
    for (int i = 0; i < n; ++i)
        delivered.emplace_back(datagram.from, out[i]);
}

// A plain datagram whose bytes say which one it is.
inline PlainDatagram plain(uint32_t id)
{
    PlainDatagram d;
    for (size_t i = 0; i < d.size(); ++i)
        d[i] = uint8_t(id * 31 + i);
    putLe(d.data(), id, 4);
    return d;
}

inline uint32_t idOf(const PlainDatagram &d) { return uint32_t(getLe(d.data(), 4)); }

inline std::vector<uint8_t> key(uint8_t first)
{
    std::vector<uint8_t> k(kKeySize);
    for (size_t i = 0; i < k.size(); ++i)
        k[i] = uint8_t(first + i);
    return k;
}

constexpr Endpoint kA{0x0a000001, 45454};
constexpr Endpoint kB{0x0a000002, 45454};

} // namespace securetest
