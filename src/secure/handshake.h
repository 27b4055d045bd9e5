// The handshake's messages as pure functions of their inputs: a one-round-trip
// exchange of fresh X25519 keys bound to the network key (the pattern Noise
// calls NNpsk0). The initiation carries the first datagram sealed under a key
// only network members can derive; the response proves the responder holds
// the network key and fixes the session keys, which also depend on the
// ephemeral exchange (secret even if the network key leaks later). Labels and
// order are those of docs/secure-protocol.md; the session layer keeps state.
#pragma once

#include <cstdint>

#include "secure/primitives.h"
#include "secure/wire_format.h"

namespace secure {

// The text whose hash C0 starts every chain.
const char *protocolName();

// Keys derived once from the network key.
struct NetworkKeys {
    Secret chain;     // P = KDF(C0, "psk", network key)
    Secret mac1Key;   // KDF(P, "mac1")
    Secret cookieKey; // KDF(P, "cookie")

    void derive(const uint8_t networkKey[kKeySize]);
    void clear();
};

struct SessionKeys {
    Secret initiatorToResponder;
    Secret responderToInitiator;
};

// What an initiator keeps from its initiation until the response.
struct InitiatorSecrets {
    Secret ephemeralSecret;
    Secret chain;           // C1
    uint8_t transcript[32]; // T1
};

// What a responder learnt from an initiation it opened.
struct ResponderSecrets {
    Secret chain; // C1
    uint8_t initiatorEphemeral[32];
    uint8_t transcript[32];
};

// datagram: kPlainSize bytes to carry, or null for none. Leaves mac2 zero.
void buildInitiation(const NetworkKeys &keys, const uint8_t ephemeralSecret[32], uint32_t senderIndex,
                     uint64_t timestampUs, const uint8_t *datagram, InitiationMessage &out, InitiatorSecrets &state);
bool initiationMac1Valid(const NetworkKeys &keys, const InitiationMessage &message);
// mac2 from a cookie, or zeros for none.
void setMac2(InitiationMessage &message, const uint8_t *cookie);
bool mac2Valid(const InitiationMessage &message, const uint8_t cookie[kCookieSize]);
// Opens the sealed datagram (kPlainSize bytes; zeros when the flag says none).
bool openInitiation(const NetworkKeys &keys, const InitiationMessage &message, uint8_t datagram[kPlainSize],
                    ResponderSecrets &out);

// False when the initiator's ephemeral key is unusable (a low-order point).
bool buildResponse(const NetworkKeys &keys, const ResponderSecrets &in, const uint8_t ephemeralSecret[32],
                   uint32_t senderIndex, uint32_t receiverIndex, ResponseMessage &out, SessionKeys &session);
bool responseMac1Valid(const NetworkKeys &keys, const ResponseMessage &message);
bool openResponse(const InitiatorSecrets &state, const ResponseMessage &message, SessionKeys &session);

} // namespace secure
