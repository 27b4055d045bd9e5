// The responder's defence against floods of initiations. Under load (many
// unconfirmed sessions, or initiations beyond a rate) an initiation must
// carry a cookie in mac2: a MAC of its source address and port under a
// secret that changes every two minutes. One without gets a cookie reply
// (smaller than the initiation, no state kept) instead of any X25519 work, so
// a sender that cannot receive at its source address cannot make the
// responder work or remember anything. Initiations with a valid cookie are
// still limited per IPv4 address. Every table here is bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "secure/handshake.h"
#include "secure/limits.h"
#include "secure/neighbours.h"

namespace secure {

class Admission {
public:
    Admission(RandomSource &random, const Limits &limits) : random(random), limits(limits) {}

    void reset(int64_t nowUs);
    // Takes one initiation (with a valid mac1) into the rate: whether
    // initiations must now carry a cookie.
    bool underLoad(size_t halfOpen, int64_t nowUs);
    bool cookieValid(const InitiationMessage &message, Endpoint source, int64_t nowUs);
    bool addressAllowed(uint32_t address, int64_t nowUs);
    void cookieReply(const NetworkKeys &keys, const InitiationMessage &message, Endpoint source, int64_t nowUs,
                     CookieReplyMessage &out);
    size_t bytes() const;

private:
    struct Bucket {
        double tokens;
        int64_t atUs;
    };
    void rotate(int64_t nowUs);
    void cookie(const Secret &secret, Endpoint source, uint8_t out[kCookieSize]) const;
    static bool take(Bucket &bucket, double rate, double burst, int64_t nowUs);

    RandomSource &random;
    const Limits &limits;
    Secret current, previous;
    int64_t rotatedUs = 0;
    Bucket initiations{0, 0};
    std::unordered_map<uint32_t, Bucket> perAddress;
};

// The initiator's side: the cookie in a reply to its initiation whose mac1
// is given.
bool openCookieReply(const NetworkKeys &keys, const CookieReplyMessage &message, const uint8_t mac1[kMacSize],
                     uint8_t cookie[kCookieSize]);

} // namespace secure
