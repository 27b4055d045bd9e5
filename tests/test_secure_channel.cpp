// The secure channel between two or more units on a fake wire: what a
// handshake costs and delivers, what it refuses (tampering, replays, other
// keys, floods), and that rekeying and loss lose nothing.
#include "secure_fixture.h"

#include <algorithm>

using namespace securetest;

namespace {

constexpr int64_t kMs = 1000;
constexpr int64_t kSecond = 1000 * kMs;

struct Pair : ::testing::Test {
    Net net;
    Node *a = nullptr;
    Node *b = nullptr;

    void SetUp() override { make(Limits()); }
    void make(const Limits &limits)
    {
        net.nodes.clear();
        a = &net.add(kA, limits);
        b = &net.add(kB, limits);
        const auto k = key(1);
        ASSERT_TRUE(a->channel->setKey(k.data(), k.size()));
        ASSERT_TRUE(b->channel->setKey(k.data(), k.size()));
    }
    std::vector<uint32_t> ids(const Node &n) const
    {
        std::vector<uint32_t> out;
        for (const auto &d : n.delivered)
            out.push_back(idOf(d.second));
        return out;
    }
    // Sends n datagrams a -> b, each answered by b, pumping after each.
    void exchange(uint32_t first, int n, int64_t stepUs = 0)
    {
        for (int i = 0; i < n; ++i) {
            const size_t before = b->delivered.size();
            a->send(plain(first + uint32_t(i)), kB);
            net.pump();
            if (b->delivered.size() > before)
                b->send(plain(1000000 + first + uint32_t(i)), kA);
            net.pump();
            if (stepUs)
                net.advance(stepUs);
        }
    }
};

// The first datagram rides in the initiation; the answer rides right after
// the response, within the bytes the initiation brought, and anything more
// waits until the initiator has proved its address.
TEST_F(Pair, FirstDatagramAndAnswerCostNoRoundTripAndNoAmplification)
{
    a->send(plain(1), kB);
    ASSERT_EQ(net.flight.size(), 1u);
    EXPECT_EQ(net.flight.front().bytes.size(), sizeof(InitiationMessage));
    const uint64_t received = net.flight.front().bytes.size();
    b->receive(net.flight.front());
    net.flight.pop_front();
    ASSERT_EQ(ids(*b), std::vector<uint32_t>{1});
    for (uint32_t i = 0; i < 3; ++i)
        b->send(plain(100 + i), kA);
    EXPECT_LE(b->bytesSent, received) << "before the initiator proved its address";
    EXPECT_EQ(net.flight.size(), 2u) << "response and one answer";
    net.pump();
    EXPECT_EQ(ids(*a), (std::vector<uint32_t>{100, 101, 102}));
    exchange(2, 50);
    EXPECT_EQ(ids(*b).size(), 51u);
    EXPECT_EQ(ids(*a).size(), 53u);
    EXPECT_EQ(a->channel->stats().handshakesStarted, 1u);
    for (const InFlight &d : net.written) {
        EXPECT_NE(d.bytes.size(), kPlainSize);
        EXPECT_LE(d.bytes.size(), 1200u);
    }
    EXPECT_TRUE(a->log.lines.empty() && b->log.lines.empty());
}

// An initiator whose clock is far off (here as far as it can be): its first
// datagram waits at the responder until the initiator's confirmation (one
// round trip), and is then delivered once, ahead of what came with the
// confirmation.
TEST_F(Pair, StaleInitiationWaitsForConfirmation)
{
    a->clock.skew = INT64_MIN;
    a->send(plain(1), kB);
    a->send(plain(2), kB);
    b->receive(net.flight.front());
    net.flight.pop_front();
    EXPECT_TRUE(b->delivered.empty());
    net.pump();
    EXPECT_EQ(ids(*b), (std::vector<uint32_t>{1, 2}));
    b->send(plain(3), kA);
    net.pump();
    EXPECT_EQ(ids(*a), std::vector<uint32_t>{3});
}

// Every single-byte change of a transport datagram is dropped and changes
// nothing: the original is still accepted afterwards, once, and only from its
// session's endpoint; a counter far behind the newest is refused.
TEST_F(Pair, TamperedAndReplayedTransportDatagramsAreDropped)
{
    exchange(1, 1);
    a->send(plain(7), kB);
    ASSERT_EQ(net.flight.size(), 1u);
    const InFlight original = net.flight.front();
    net.flight.clear();
    ASSERT_EQ(original.bytes.size(), kTransportSize);
    for (size_t i = 0; i < original.bytes.size(); ++i) {
        InFlight bad = original;
        bad.bytes[i] ^= 0x01;
        b->receive(bad);
    }
    const size_t before = b->delivered.size();
    const uint64_t replays = b->channel->dropped(Drop::Replayed); // changed counters that were seen
    b->receive(original);
    b->receive(original);
    ASSERT_EQ(b->delivered.size(), before + 1);
    EXPECT_EQ(idOf(b->delivered.back().second), 7u);
    EXPECT_EQ(b->channel->dropped(Drop::Replayed), replays + 1);
    // Another source with a valid datagram of the session: refused.
    InFlight moved = original;
    moved.from = Endpoint{kA.address, 40000};
    b->receive(moved);
    EXPECT_EQ(b->channel->dropped(Drop::WrongSource), 1u);

    // A counter far behind the newest is refused though never seen.
    a->send(plain(8), kB);
    const InFlight late = net.flight.front();
    net.flight.clear();
    for (int i = 0; i < int(ReplayWindow::kSize) + 1; ++i)
        a->send(plain(9), kB);
    net.pump();
    const size_t count = b->delivered.size();
    b->receive(late);
    EXPECT_EQ(b->delivered.size(), count);

}

// Every byte of an initiation but its cookie MAC, and every byte of a
// response, counts; a copy of an initiation delivers nothing twice, from
// anywhere, and a copy of a response completes nothing twice.
TEST_F(Pair, TamperedAndReplayedHandshakeMessagesAreDropped)
{
    a->send(plain(1), kB);
    const InFlight initiation = net.flight.front();
    net.flight.clear();
    for (size_t i = 0; i < offsetof(InitiationMessage, mac2); ++i) {
        InFlight bad = initiation;
        bad.bytes[i] ^= 0x80;
        b->receive(bad);
    }
    EXPECT_TRUE(b->delivered.empty());
    EXPECT_TRUE(net.flight.empty()) << "no answer to a changed initiation";
    b->receive(initiation);
    b->receive(initiation); // the initiator missed the response: it comes again
    EXPECT_EQ(b->delivered.size(), 1u);
    ASSERT_EQ(net.flight.size(), 2u);
    const InFlight response = net.flight.front();
    for (size_t i = 0; i < response.bytes.size(); ++i) {
        InFlight bad = response;
        bad.bytes[i] ^= 0x01;
        a->receive(bad);
    }
    EXPECT_EQ(a->channel->stats().handshakesCompleted, 0u);
    net.pump();
    EXPECT_EQ(a->channel->stats().handshakesCompleted, 1u);
    a->receive(response);
    EXPECT_EQ(a->channel->stats().handshakesCompleted, 1u);
    b->receive(initiation);
    InFlight elsewhere = initiation;
    elsewhere.from = Endpoint{0x0a000009, 45454};
    b->receive(elsewhere);
    EXPECT_EQ(b->delivered.size(), 1u);
    EXPECT_EQ(b->channel->dropped(Drop::ReplayedInitiation), 2u);
}

// A unit with another key, or none, gets nothing through and nothing back,
// and leaves no state; a plain datagram to a keyed unit is logged once a
// minute per source.
TEST_F(Pair, OtherKeyOrNoKeyGetsNothing)
{
    const size_t empty = b->channel->stateBytes();
    const auto other = key(2);
    a->channel->setKey(other.data(), other.size());
    a->send(plain(1), kB);
    for (int i = 0; i < 110; ++i) { // every resend, then the handshake gives up
        net.pump();
        net.advance(100 * kMs);
    }
    EXPECT_TRUE(b->delivered.empty());
    EXPECT_TRUE(a->delivered.empty());
    EXPECT_GT(b->channel->dropped(Drop::BadMac), 1u);
    EXPECT_EQ(b->log.lines.size(), 1u) << "one line a minute per source";
    net.advance(61 * kSecond);
    EXPECT_EQ(b->log.lines.size(), 2u) << "how many more came in that minute";
    EXPECT_EQ(b->channel->stateBytes(), empty);

    // No key: the initiation reaches it as an unknown datagram; its plain
    // datagrams reach the keyed unit, which drops them.
    a->channel->setKey(nullptr, 0);
    EXPECT_FALSE(a->channel->keyed());
    for (uint32_t i = 0; i < 10; ++i)
        a->send(plain(i), kB);
    net.pump();
    EXPECT_TRUE(b->delivered.empty());
    EXPECT_EQ(b->channel->dropped(Drop::Unkeyed), 10u);
    net.advance(61 * kSecond);
    ASSERT_EQ(b->log.lines.size(), 4u);
    EXPECT_EQ(b->log.lines[3], "Secure channel drop, 10.0.0.1:45454: datagram without the network key, "
                               "9 more in the last minute");
    b->send(plain(5), kA);
    net.pump();
    EXPECT_TRUE(a->delivered.empty()) << "an unkeyed unit takes an initiation for no datagram of its own";
    EXPECT_FALSE(a->channel->setKey(other.data(), 31));
}

// A changed key ends every session: the peer's datagrams under the old one
// are dropped, and the next datagram starts a new handshake.
TEST_F(Pair, ChangedKeyEndsSessions)
{
    exchange(1, 3);
    const size_t empty = [] {
        Net n;
        return n.add(kA).channel->stateBytes();
    }();
    const auto next = key(9);
    b->channel->setKey(next.data(), next.size());
    EXPECT_EQ(b->channel->stateBytes(), empty);
    a->send(plain(50), kB);
    net.pump();
    EXPECT_EQ(b->channel->dropped(Drop::UnknownIndex), 1u);
    a->channel->setKey(next.data(), next.size());
    exchange(60, 2);
    EXPECT_EQ(ids(*b).back(), 61u);
}

// A peer that lost its sessions (it restarted) is silent to the datagrams
// sent under the old ones; after 15 s of that the sender starts a new
// handshake and gets through again.
TEST_F(Pair, RestartedPeerIsReachedAgain)
{
    exchange(1, 2);
    b->channel = std::make_unique<SecureChannel>(*b, b->clock, b->random, b->log);
    const auto k = key(1);
    b->channel->setKey(k.data(), k.size());
    for (uint32_t i = 10; i < 30; ++i) {
        a->send(plain(i), kB);
        net.pump();
        net.advance(1 * kSecond);
    }
    EXPECT_GT(b->channel->dropped(Drop::UnknownIndex), 10u);
    EXPECT_EQ(a->channel->stats().handshakesStarted, 2u);
    EXPECT_EQ(ids(*b).back(), 29u);
}

// Floods: garbage, initiations under other keys, and valid initiations from
// ten thousand spoofed sources. Memory stays within the stated bound, no reply
// is larger than what caused it, and a real initiator still gets through (by
// way of a cookie).
TEST_F(Pair, FloodStaysBoundedAndRepliesNoLarger)
{
    Net attack; // builds valid initiations that never complete
    attack.seeds = 900;
    Node &forger = attack.add(Endpoint{0x0b000001, 1});
    const auto k = key(1);
    forger.channel->setKey(k.data(), k.size());
    std::mt19937_64 rng(3);
    uint64_t in = 0;
    const size_t sizes[] = {1, 31, 32, 64, 76, 548, 580, 660, 1200};
    for (uint32_t i = 0; i < 10000; ++i) {
        const Endpoint spoofed{0x0c000000 + i, uint16_t(1024 + i % 50000)};
        InFlight d;
        d.from = spoofed;
        d.to = kB;
        if (i % 3 == 0) {
            forger.send(plain(i), Endpoint{0x0d000000 + i, 1}); // a new handshake each time
            d.bytes = attack.flight.back().bytes;
            attack.flight.clear();
        } else {
            d.bytes.resize(sizes[i % 9]);
            for (auto &byte : d.bytes)
                byte = uint8_t(rng());
            if (i % 3 == 1)
                d.bytes[0] = uint8_t(0x11 + i % 4); // the types, sizes right or wrong
        }
        in += d.bytes.size();
        const size_t before = net.written.size();
        b->receive(d);
        for (size_t w = before; w < net.written.size(); ++w)
            EXPECT_LE(net.written[w].bytes.size(), d.bytes.size());
        if (i % 100 == 0)
            net.advance(10 * kMs); // 100 datagrams every 10 ms: 10,000 a second
        net.flight.clear();
    }
    EXPECT_LE(b->bytesSent, in);
    EXPECT_GT(b->channel->stats().cookieRepliesSent, 3000u);
    EXPECT_LE(b->channel->stats().handshakesAnswered, 200u);
    EXPECT_LE(b->channel->stateBytes(), 512u * 1024) << "the bound the protocol description states";
    EXPECT_LE(b->channel->stateBytes(), b->channel->stateBound());
    EXPECT_EQ(b->delivered.size(), b->channel->stats().handshakesAnswered);

    // Still under load, a unit that receives at its address gets through.
    for (int i = 0; i < 100; ++i)
        b->receive(InFlight{attack.written[0].bytes, Endpoint{0x0e000000u + uint32_t(i), 9}, kB});
    net.flight.clear();
    a->send(plain(77), kB);
    net.pump();
    EXPECT_EQ(a->channel->stats().cookiesTaken, 1u);
    EXPECT_EQ(ids(*b).back(), 77u);
}

// Rekeying by count and by time while datagrams flow both ways loses none,
// and the sessions it leaves behind are bounded.
TEST_F(Pair, RekeyingMidExchangeLosesNothing)
{
    Limits limits;
    limits.rekeyAfterMessages = 40;
    limits.rejectAfterMessages = 400;
    make(limits);
    exchange(1, 300);
    net.advance(121 * kSecond);
    exchange(301, 100, 2 * kSecond);
    EXPECT_GE(a->channel->stats().handshakesStarted + b->channel->stats().handshakesStarted, 8u);
    std::vector<uint32_t> want(400);
    for (uint32_t i = 0; i < 400; ++i)
        want[i] = i + 1;
    EXPECT_EQ(ids(*b), want);
    EXPECT_EQ(ids(*a).size(), 400u);
    EXPECT_EQ(b->channel->dropped(Drop::UnknownIndex) + b->channel->dropped(Drop::SessionTooOld), 0u);
    net.advance(200 * kSecond);
    net.advance(2 * kSecond);
    EXPECT_EQ(a->channel->stateBytes(), b->channel->stateBytes()) << "every session expired on both sides";
}

// With 30 % of datagrams lost each way, a sender that repeats what is not
// answered (as the transport does) gets every datagram through.
TEST_F(Pair, ThirtyPercentLossConverges)
{
    net.loss = 0.3;
    const auto has = [this](const Node &n, uint32_t id) {
        const auto got = ids(n);
        return std::find(got.begin(), got.end(), id) != got.end();
    };
    for (uint32_t id = 1; id <= 100; ++id) {
        for (int attempt = 0; attempt < 40 && !has(*a, 500000 + id); ++attempt) {
            a->send(plain(id), kB);
            net.pump();
            if (has(*b, id))
                b->send(plain(500000 + id), kA);
            net.pump();
            net.advance(300 * kMs);
        }
        ASSERT_TRUE(has(*a, 500000 + id)) << "datagram " << id;
    }
    EXPECT_EQ(b->channel->dropped(Drop::NotAuthentic), 0u);
}

} // namespace
