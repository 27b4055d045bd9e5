#include "secure/handshake.h"

#include <cstring>

namespace secure {

namespace {

const char kProtocolName[] = "mudp secure channel v1: NNpsk0 X25519 ChaCha20-Poly1305 BLAKE2b";

} // namespace

const char *protocolName() { return kProtocolName; }

namespace {

const uint8_t *bytes(const void *message) { return static_cast<const uint8_t *>(message); }

// C0 = HASH(protocol name).
void initialChain(uint8_t out[32])
{
    hash(out, reinterpret_cast<const uint8_t *>(kProtocolName), sizeof kProtocolName - 1);
}

// From C1 and the response's first 44 bytes (which hold the responder's
// ephemeral key) to C4, the chaining key both session keys and the
// response's key come from.
void finishChain(const uint8_t c1[32], const uint8_t transcript1[32], const ResponseMessage &response,
                 const uint8_t ee[32], uint8_t c4[32])
{
    Secret c2, c3;
    uint8_t transcript2[32];
    kdf(c2.data(), c1, "responder ephemeral", response.ephemeral, 32);
    kdf(c3.data(), c2.data(), "ephemeral shared", ee, 32);
    hash(transcript2, transcript1, 32, bytes(&response), kResponseAuthenticated);
    kdf(c4, c3.data(), "transcript", transcript2, 32);
}

void sessionKeys(const uint8_t c4[32], SessionKeys &session)
{
    kdf(session.initiatorToResponder.data(), c4, "initiator to responder");
    kdf(session.responderToInitiator.data(), c4, "responder to initiator");
}

} // namespace

void NetworkKeys::derive(const uint8_t networkKey[kKeySize])
{
    uint8_t c0[32];
    initialChain(c0);
    kdf(chain.data(), c0, "psk", networkKey, kKeySize);
    kdf(mac1Key.data(), chain.data(), "mac1");
    kdf(cookieKey.data(), chain.data(), "cookie");
}

void NetworkKeys::clear()
{
    chain.clear();
    mac1Key.clear();
    cookieKey.clear();
}

void buildInitiation(const NetworkKeys &keys, const uint8_t ephemeralSecret[32], uint32_t senderIndex,
                     uint64_t timestampUs, const uint8_t *datagram, InitiationMessage &out, InitiatorSecrets &state)
{
    std::memset(&out, 0, sizeof out);
    out.type = Initiation;
    out.flags = datagram ? kCarriesDatagram : 0;
    putLe(out.senderIndex, senderIndex, 4);
    std::memcpy(state.ephemeralSecret.data(), ephemeralSecret, 32);
    publicKey(out.ephemeral, ephemeralSecret);
    putLe(out.timestamp, timestampUs, 8);
    kdf(state.chain.data(), keys.chain.data(), "initiator ephemeral", out.ephemeral, 32);
    Secret key;
    kdf(key.data(), state.chain.data(), "initiation");
    static const uint8_t kNone[kPlainSize] = {};
    aeadSeal(out.sealed, datagram ? datagram : kNone, kPlainSize, bytes(&out), kInitiationAuthenticated, 0,
             key.data());
    mac(out.mac1, keys.mac1Key.data(), kKeySize, bytes(&out), kInitiationMac1Covers);
    hash(state.transcript, bytes(&out), kInitiationMac1Covers);
}

bool initiationMac1Valid(const NetworkKeys &keys, const InitiationMessage &message)
{
    uint8_t expected[kMacSize];
    mac(expected, keys.mac1Key.data(), kKeySize, bytes(&message), kInitiationMac1Covers);
    return equal16(expected, message.mac1);
}

void setMac2(InitiationMessage &message, const uint8_t *cookie)
{
    if (cookie)
        mac(message.mac2, cookie, kCookieSize, bytes(&message), kInitiationMac2Covers);
    else
        std::memset(message.mac2, 0, kMacSize);
}

bool mac2Valid(const InitiationMessage &message, const uint8_t cookie[kCookieSize])
{
    uint8_t expected[kMacSize];
    mac(expected, cookie, kCookieSize, bytes(&message), kInitiationMac2Covers);
    return equal16(expected, message.mac2);
}

bool openInitiation(const NetworkKeys &keys, const InitiationMessage &message, uint8_t datagram[kPlainSize],
                    ResponderSecrets &out)
{
    kdf(out.chain.data(), keys.chain.data(), "initiator ephemeral", message.ephemeral, 32);
    Secret key;
    kdf(key.data(), out.chain.data(), "initiation");
    if (!aeadOpen(datagram, message.sealed, sizeof message.sealed, bytes(&message), kInitiationAuthenticated, 0,
                  key.data())) {
        out.chain.clear();
        return false;
    }
    std::memcpy(out.initiatorEphemeral, message.ephemeral, 32);
    hash(out.transcript, bytes(&message), kInitiationMac1Covers);
    return true;
}

bool buildResponse(const NetworkKeys &keys, const ResponderSecrets &in, const uint8_t ephemeralSecret[32],
                   uint32_t senderIndex, uint32_t receiverIndex, ResponseMessage &out, SessionKeys &session)
{
    Secret ee, c4, key;
    if (!dh(ee.data(), ephemeralSecret, in.initiatorEphemeral))
        return false;
    std::memset(&out, 0, sizeof out);
    out.type = Response;
    putLe(out.senderIndex, senderIndex, 4);
    putLe(out.receiverIndex, receiverIndex, 4);
    publicKey(out.ephemeral, ephemeralSecret);
    finishChain(in.chain.data(), in.transcript, out, ee.data(), c4.data());
    kdf(key.data(), c4.data(), "response");
    const uint8_t none[1] = {};
    aeadSeal(out.tag, none, 0, bytes(&out), kResponseAuthenticated, 0, key.data());
    mac(out.mac1, keys.mac1Key.data(), kKeySize, bytes(&out), kResponseMac1Covers);
    sessionKeys(c4.data(), session);
    return true;
}

bool responseMac1Valid(const NetworkKeys &keys, const ResponseMessage &message)
{
    uint8_t expected[kMacSize];
    mac(expected, keys.mac1Key.data(), kKeySize, bytes(&message), kResponseMac1Covers);
    return equal16(expected, message.mac1);
}

bool openResponse(const InitiatorSecrets &state, const ResponseMessage &message, SessionKeys &session)
{
    Secret ee, c4, key;
    if (!dh(ee.data(), state.ephemeralSecret.data(), message.ephemeral))
        return false;
    finishChain(state.chain.data(), state.transcript, message, ee.data(), c4.data());
    kdf(key.data(), c4.data(), "response");
    uint8_t none[1];
    if (!aeadOpen(none, message.tag, kTagSize, bytes(&message), kResponseAuthenticated, 0, key.data()))
        return false;
    sessionKeys(c4.data(), session);
    return true;
}

} // namespace secure
