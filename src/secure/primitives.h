// The few libsodium operations the channel is built from, under the names
// the protocol description uses: HASH and KDF and MAC (BLAKE2b), DH (X25519),
// AEAD (ChaCha20-Poly1305, IETF: 96-bit nonce of four zero bytes and a
// 64-bit little-endian counter) and XAEAD (XChaCha20-Poly1305, 192-bit
// random nonce). Nothing here is a primitive of our own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace secure {

// Initialises libsodium once; false when it cannot run (no random source).
bool cryptoReady();

void wipe(void *data, size_t size);

// 32 secret bytes, wiped when they go.
class Secret {
public:
    Secret() { bytes.fill(0); }
    ~Secret() { wipe(bytes.data(), bytes.size()); }
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;

    uint8_t *data() { return bytes.data(); }
    const uint8_t *data() const { return bytes.data(); }
    void clear() { wipe(bytes.data(), bytes.size()); }

private:
    std::array<uint8_t, 32> bytes;
};

// HASH: unkeyed BLAKE2b-256 of the concatenation of two byte strings.
void hash(uint8_t out[32], const uint8_t *a, size_t aSize, const uint8_t *b = nullptr, size_t bSize = 0);
// KDF(key, label, data): BLAKE2b-256 keyed with the 32-byte key over the
// label's ASCII bytes, one zero byte, then the data.
void kdf(uint8_t out[32], const uint8_t key[32], const char *label, const uint8_t *data = nullptr, size_t size = 0);
// MAC(key, data): BLAKE2b-128 keyed with a key of 16 to 64 bytes.
void mac(uint8_t out[16], const uint8_t *key, size_t keySize, const uint8_t *data, size_t size);
bool equal16(const uint8_t *a, const uint8_t *b);
// SipHash-2-4 with a 16-byte key: a fingerprint for a table.
uint64_t shortHash(const uint8_t key[16], const uint8_t *data, size_t size);

void publicKey(uint8_t pub[32], const uint8_t secretKey[32]);
// False when the peer's key yields the all-zero secret (a low-order point).
bool dh(uint8_t out[32], const uint8_t secretKey[32], const uint8_t peerPublic[32]);

// AEAD over size plain bytes: writes size + 16 bytes (cipher text, tag).
void aeadSeal(uint8_t *out, const uint8_t *plain, size_t size, const uint8_t *ad, size_t adSize, uint64_t counter,
              const uint8_t key[32]);
// Opens sealedSize bytes (cipher text and tag) into sealedSize - 16 bytes.
bool aeadOpen(uint8_t *plain, const uint8_t *sealed, size_t sealedSize, const uint8_t *ad, size_t adSize,
              uint64_t counter, const uint8_t key[32]);

void xaeadSeal(uint8_t *out, const uint8_t *plain, size_t size, const uint8_t *ad, size_t adSize,
               const uint8_t nonce[24], const uint8_t key[32]);
bool xaeadOpen(uint8_t *plain, const uint8_t *sealed, size_t sealedSize, const uint8_t *ad, size_t adSize,
               const uint8_t nonce[24], const uint8_t key[32]);

} // namespace secure
