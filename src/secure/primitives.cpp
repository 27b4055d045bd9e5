#include "secure/primitives.h"

#include <cstring>
#include <sodium.h>

namespace secure {

static_assert(crypto_scalarmult_BYTES == 32 && crypto_scalarmult_SCALARBYTES == 32, "X25519 sizes");
static_assert(crypto_aead_chacha20poly1305_ietf_NPUBBYTES == 12 && crypto_aead_chacha20poly1305_ietf_ABYTES == 16,
              "AEAD sizes");
static_assert(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES == 24, "XAEAD nonce");

bool cryptoReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

void wipe(void *data, size_t size) { sodium_memzero(data, size); }

void hash(uint8_t out[32], const uint8_t *a, size_t aSize, const uint8_t *b, size_t bSize)
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, 32);
    crypto_generichash_update(&state, a, aSize);
    if (bSize)
        crypto_generichash_update(&state, b, bSize);
    crypto_generichash_final(&state, out, 32);
}

void kdf(uint8_t out[32], const uint8_t key[32], const char *label, const uint8_t *data, size_t size)
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, key, 32, 32);
    crypto_generichash_update(&state, reinterpret_cast<const uint8_t *>(label), std::strlen(label) + 1);
    if (size)
        crypto_generichash_update(&state, data, size);
    crypto_generichash_final(&state, out, 32);
    wipe(&state, sizeof state);
}

void mac(uint8_t out[16], const uint8_t *key, size_t keySize, const uint8_t *data, size_t size)
{
    crypto_generichash(out, 16, data, size, key, keySize);
}

bool equal16(const uint8_t *a, const uint8_t *b) { return crypto_verify_16(a, b) == 0; }

uint64_t shortHash(const uint8_t key[16], const uint8_t *data, size_t size)
{
    static_assert(crypto_shorthash_BYTES == 8 && crypto_shorthash_KEYBYTES == 16, "SipHash sizes");
    uint8_t out[8];
    crypto_shorthash(out, data, size, key);
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | out[i];
    return v;
}

void publicKey(uint8_t pub[32], const uint8_t secretKey[32]) { crypto_scalarmult_base(pub, secretKey); }

bool dh(uint8_t out[32], const uint8_t secretKey[32], const uint8_t peerPublic[32])
{
    return crypto_scalarmult(out, secretKey, peerPublic) == 0;
}

namespace {

void counterNonce(uint8_t nonce[12], uint64_t counter)
{
    std::memset(nonce, 0, 4);
    for (int i = 0; i < 8; ++i, counter >>= 8)
        nonce[4 + i] = uint8_t(counter);
}

} // namespace

void aeadSeal(uint8_t *out, const uint8_t *plain, size_t size, const uint8_t *ad, size_t adSize, uint64_t counter,
              const uint8_t key[32])
{
    uint8_t nonce[12];
    counterNonce(nonce, counter);
    crypto_aead_chacha20poly1305_ietf_encrypt(out, nullptr, plain, size, ad, adSize, nullptr, nonce, key);
}

bool aeadOpen(uint8_t *plain, const uint8_t *sealed, size_t sealedSize, const uint8_t *ad, size_t adSize,
              uint64_t counter, const uint8_t key[32])
{
    uint8_t nonce[12];
    counterNonce(nonce, counter);
    return sealedSize >= 16 && crypto_aead_chacha20poly1305_ietf_decrypt(plain, nullptr, nullptr, sealed, sealedSize,
                                                                         ad, adSize, nonce, key) == 0;
}

void xaeadSeal(uint8_t *out, const uint8_t *plain, size_t size, const uint8_t *ad, size_t adSize,
               const uint8_t nonce[24], const uint8_t key[32])
{
    crypto_aead_xchacha20poly1305_ietf_encrypt(out, nullptr, plain, size, ad, adSize, nullptr, nonce, key);
}

bool xaeadOpen(uint8_t *plain, const uint8_t *sealed, size_t sealedSize, const uint8_t *ad, size_t adSize,
               const uint8_t nonce[24], const uint8_t key[32])
{
    return sealedSize >= 16 && crypto_aead_xchacha20poly1305_ietf_decrypt(plain, nullptr, nullptr, sealed, sealedSize,
                                                                          ad, adSize, nonce, key) == 0;
}

} // namespace secure
