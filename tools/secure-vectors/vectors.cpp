#include "vectors.h"

#include <cstring>
#include <deque>
#include <stdexcept>
#include <vector>

#include "secure/admission.h"
#include "secure/secure_channel.h"

namespace vectors {

using namespace secure;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes pattern(size_t size, int times, int plus)
{
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = uint8_t(int(i) * times + plus);
    return b;
}

// Hands out exactly the chunks given, in order.
struct Script : RandomSource {
    std::deque<Bytes> chunks;
    void fill(uint8_t *out, size_t size) override
    {
        if (chunks.empty() || chunks.front().size() != size)
            throw std::runtime_error("random draw of " + std::to_string(size) + " bytes not scripted");
        std::memcpy(out, chunks.front().data(), size);
        chunks.pop_front();
    }
};

struct FixedClock : Clock {
    int64_t monotonicUs() override { return 10'000'000; }
    int64_t wallUs() override { return 1'700'000'000'000'000; }
};

struct Capture : WireSink, LogSink {
    std::vector<Bytes> written;
    void writeWire(const uint8_t *data, size_t size, Endpoint) override { written.emplace_back(data, data + size); }
    void secureLog(const std::string &line) override { throw std::runtime_error("unexpected log: " + line); }
};

struct Text {
    std::string out;
    void hex(const char *name, const uint8_t *data, size_t size)
    {
        static const char digits[] = "0123456789abcdef";
        std::string line = name;
        line.resize(26, ' ');
        for (size_t i = 0; i < size; ++i) {
            if (i && i % 32 == 0) {
                out += line + "\n";
                line.assign(26, ' ');
            }
            line += digits[data[i] >> 4];
            line += digits[data[i] & 15];
        }
        out += line + "\n";
    }
    void hex(const char *name, const Bytes &b) { hex(name, b.data(), b.size()); }
    void note(const std::string &line) { out += line + "\n"; }
};

void require(bool ok, const char *what)
{
    if (!ok)
        throw std::runtime_error(what);
}

const Endpoint kInitiator{0xc0000201, 45454}; // 192.0.2.1, a documentation address
const Endpoint kResponder{0xc0000202, 45454};

void keys(Text &t, const Bytes &networkKey)
{
    NetworkKeys k;
    k.derive(networkKey.data());
    uint8_t c0[32];
    hash(c0, reinterpret_cast<const uint8_t *>(protocolName()), std::strlen(protocolName()));
    t.hex("network key", networkKey);
    t.hex("C0", c0, 32);
    t.hex("P", k.chain.data(), 32);
    t.hex("mac1 key", k.mac1Key.data(), 32);
    t.hex("cookie key", k.cookieKey.data(), 32);
}

} // namespace

namespace {

struct Inputs {
    Bytes networkKey = pattern(32, 1, 0x00);
    Bytes initiatorSecret = pattern(32, 1, 0x40);
    Bytes responderSecret = pattern(32, 1, 0x60);
    Bytes initiatorIndex = {0x44, 0x33, 0x22, 0x11}; // 0x11223344
    Bytes responderIndex = {0x88, 0x77, 0x66, 0x55};
    uint64_t stampUs = 1'700'000'000'000'000;
    Bytes first = pattern(kPlainSize, 7, 0);
    Bytes answer = pattern(kPlainSize, 13, 5);
};

// What two channels write for one handshake, its answer and the confirmation.
struct Transcript {
    Bytes initiation, response, transport, keepalive;
};

Bytes toBytes(const uint8_t *data, size_t size) { return Bytes(data, data + size); }

Transcript runChannels(const Inputs &in)
{
    FixedClock clock;
    Capture wireA, wireB;
    Script randomA, randomB;
    // Each setKey draws two cookie secrets and a fingerprint key; a handshake
    // draws an ephemeral secret, then an index.
    randomA.chunks = {Bytes(32), Bytes(32), Bytes(16), in.initiatorSecret, in.initiatorIndex};
    randomB.chunks = {Bytes(32), Bytes(32), Bytes(16), in.responderSecret, in.responderIndex};
    SecureChannel a(wireA, clock, randomA, wireA), b(wireB, clock, randomB, wireB);
    require(a.setKey(in.networkKey.data(), 32) && b.setKey(in.networkKey.data(), 32), "setKey refused");
    uint8_t out[kMaxWireSize];
    PlainDatagram got[SecureChannel::kMaxReleased];
    Transcript t;
    require(a.seal(in.first.data(), kResponder, out) == 0 && wireA.written.size() == 1, "no initiation");
    t.initiation = wireA.written[0];
    require(b.open(t.initiation.data(), t.initiation.size(), kInitiator, got) == 1 &&
                toBytes(got[0].data(), kPlainSize) == in.first,
            "the initiation did not deliver the first datagram");
    require(wireB.written.size() == 1, "no response");
    t.response = wireB.written[0];
    const int size = b.seal(in.answer.data(), kInitiator, out);
    require(size == int(kTransportSize), "the answer was not sealed at once");
    t.transport = toBytes(out, size_t(size));
    require(a.open(t.response.data(), t.response.size(), kResponder, got) == 0 && wireA.written.size() == 2,
            "the response did not complete the handshake");
    t.keepalive = wireA.written[1];
    require(a.open(t.transport.data(), t.transport.size(), kResponder, got) == 1 &&
                toBytes(got[0].data(), kPlainSize) == in.answer,
            "the answer did not open");
    require(b.open(t.keepalive.data(), t.keepalive.size(), kInitiator, got) == 0 &&
                b.stats().sessionsConfirmed == 1,
            "the keepalive did not confirm the responder's session");
    return t;
}

void handshakeVectors(Text &text, const Inputs &in, const Transcript &t)
{
    NetworkKeys k;
    k.derive(in.networkKey.data());
    uint8_t initiatorPublic[32], responderPublic[32], ee[32];
    publicKey(initiatorPublic, in.initiatorSecret.data());
    publicKey(responderPublic, in.responderSecret.data());
    require(dh(ee, in.initiatorSecret.data(), responderPublic), "low-order key");
    InitiatorSecrets secrets;
    InitiationMessage initiation;
    buildInitiation(k, in.initiatorSecret.data(), 0x11223344, in.stampUs, in.first.data(), initiation, secrets);
    require(toBytes(reinterpret_cast<const uint8_t *>(&initiation), sizeof initiation) == t.initiation,
            "the channel's initiation differs from buildInitiation's");
    ResponseMessage response;
    std::memcpy(&response, t.response.data(), sizeof response);
    SessionKeys session;
    require(openResponse(secrets, response, session), "openResponse refused the channel's response");

    text.hex("initiator secret e_i", in.initiatorSecret);
    text.hex("initiator public E_i", initiatorPublic, 32);
    text.hex("responder secret e_r", in.responderSecret);
    text.hex("responder public E_r", responderPublic, 32);
    text.note("initiator index           0x11223344");
    text.note("responder index           0x55667788");
    text.note("timestamp                 1700000000000000");
    text.note("first datagram            548 bytes, byte i = 7 i mod 256");
    text.hex("initiation", t.initiation);
    text.hex("ee", ee, 32);
    text.hex("response", t.response);
    text.hex("key initiator->responder", session.initiatorToResponder.data(), 32);
    text.hex("key responder->initiator", session.responderToInitiator.data(), 32);
    text.note("answer datagram           548 bytes, byte i = (13 i + 5) mod 256");
    text.hex("transport r->i, 0", t.transport);
    text.hex("keepalive i->r, 0", t.keepalive);
}

// A cookie for the initiator's endpoint and the reply carrying it, in
// answer to the initiation above.
void cookieVectors(Text &text, const Inputs &in, const Transcript &t)
{
    NetworkKeys k;
    k.derive(in.networkKey.data());
    const Bytes secret = pattern(32, 1, 0x80), nonce = pattern(24, 1, 0xa0);
    Script random;
    random.chunks = {secret, Bytes(32), nonce};
    Limits limits;
    Admission admission(random, limits);
    admission.reset(0);
    InitiationMessage initiation;
    std::memcpy(&initiation, t.initiation.data(), sizeof initiation);
    CookieReplyMessage reply;
    admission.cookieReply(k, initiation, kInitiator, 0, reply);
    uint8_t cookie[kCookieSize], expected[kCookieSize];
    const uint8_t where[6] = {192, 0, 2, 1, 45454 >> 8, 45454 & 0xff};
    mac(expected, secret.data(), 32, where, sizeof where);
    require(openCookieReply(k, reply, initiation.mac1, cookie) && std::memcmp(cookie, expected, kCookieSize) == 0,
            "the cookie reply does not hold the cookie");
    setMac2(initiation, cookie);
    text.hex("cookie secret", secret);
    text.note("source                    192.0.2.1:45454");
    text.hex("cookie", cookie, kCookieSize);
    text.hex("cookie reply nonce", nonce);
    text.hex("cookie reply", reinterpret_cast<const uint8_t *>(&reply), sizeof reply);
    text.hex("initiation mac2", initiation.mac2, kMacSize);
}

} // namespace

std::string secureTestVectors()
{
    try {
        require(cryptoReady(), "libsodium did not start");
        Inputs in;
        Text text;
        keys(text, in.networkKey);
        const Transcript t = runChannels(in);
        handshakeVectors(text, in, t);
        cookieVectors(text, in, t);
        return text.out;
    } catch (const std::exception &e) {
        return std::string("error: ") + e.what() + "\n";
    }
}

} // namespace vectors
