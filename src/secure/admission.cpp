#include "secure/admission.h"

#include <algorithm>
#include <cstring>

namespace secure {

void Admission::reset(int64_t nowUs)
{
    random.fill(current.data(), kKeySize);
    random.fill(previous.data(), kKeySize);
    rotatedUs = nowUs;
    initiations = {limits.initiationBurst, nowUs};
    perAddress.clear();
}

void Admission::rotate(int64_t nowUs)
{
    if (nowUs - rotatedUs < limits.cookieRotateUs)
        return;
    std::memcpy(previous.data(), current.data(), kKeySize);
    random.fill(current.data(), kKeySize);
    rotatedUs = nowUs;
}

bool Admission::take(Bucket &bucket, double rate, double burst, int64_t nowUs)
{
    bucket.tokens = std::min(burst, bucket.tokens + double(nowUs - bucket.atUs) * rate / 1e6);
    bucket.atUs = nowUs;
    if (bucket.tokens < 1)
        return false;
    bucket.tokens -= 1;
    return true;
}

bool Admission::underLoad(size_t halfOpen, int64_t nowUs)
{
    const bool rateExceeded = !take(initiations, limits.initiationsPerSecond, limits.initiationBurst, nowUs);
    return rateExceeded || halfOpen >= limits.halfOpenForCookies;
}

// cookie = MAC(secret, address (4 bytes) || port (2 bytes), both big-endian).
void Admission::cookie(const Secret &secret, Endpoint source, uint8_t out[kCookieSize]) const
{
    const uint8_t where[6] = {uint8_t(source.address >> 24), uint8_t(source.address >> 16),
                              uint8_t(source.address >> 8), uint8_t(source.address), uint8_t(source.port >> 8),
                              uint8_t(source.port)};
    mac(out, secret.data(), kKeySize, where, sizeof where);
}

bool Admission::cookieValid(const InitiationMessage &message, Endpoint source, int64_t nowUs)
{
    rotate(nowUs);
    uint8_t value[kCookieSize];
    cookie(current, source, value);
    if (mac2Valid(message, value))
        return true;
    cookie(previous, source, value);
    return mac2Valid(message, value);
}

bool Admission::addressAllowed(uint32_t address, int64_t nowUs)
{
    auto it = perAddress.find(address);
    if (it == perAddress.end()) {
        if (perAddress.size() >= limits.rateTableSize) {
            // Addresses whose bucket has refilled remember nothing worth keeping.
            const int64_t full = int64_t(limits.perAddressBurst / limits.perAddressPerSecond * 1e6);
            for (auto e = perAddress.begin(); e != perAddress.end();)
                e = nowUs - e->second.atUs >= full ? perAddress.erase(e) : std::next(e);
            if (perAddress.size() >= limits.rateTableSize)
                return false;
        }
        it = perAddress.emplace(address, Bucket{limits.perAddressBurst, nowUs}).first;
    }
    return take(it->second, limits.perAddressPerSecond, limits.perAddressBurst, nowUs);
}

void Admission::cookieReply(const NetworkKeys &keys, const InitiationMessage &message, Endpoint source,
                            int64_t nowUs, CookieReplyMessage &out)
{
    rotate(nowUs);
    uint8_t value[kCookieSize];
    cookie(current, source, value);
    std::memset(&out, 0, sizeof out);
    out.type = CookieReply;
    std::memcpy(out.receiverIndex, message.senderIndex, 4);
    random.fill(out.nonce, sizeof out.nonce);
    xaeadSeal(out.sealedCookie, value, kCookieSize, message.mac1, kMacSize, out.nonce, keys.cookieKey.data());
}

size_t Admission::bytes() const { return perAddress.size() * (sizeof(Bucket) + sizeof(uint32_t) + 32); }

bool openCookieReply(const NetworkKeys &keys, const CookieReplyMessage &message, const uint8_t mac1[kMacSize],
                     uint8_t cookie[kCookieSize])
{
    return xaeadOpen(cookie, message.sealedCookie, sizeof message.sealedCookie, mac1, kMacSize, message.nonce,
                     keys.cookieKey.data());
}

} // namespace secure
