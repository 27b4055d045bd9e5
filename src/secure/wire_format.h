// The four keyed datagrams between units that share a network key
// (docs/secure-protocol.md gives every field and the rules). Integers are
// little-endian byte arrays, read and written through get/put below, so the
// layouts hold on any host. No keyed datagram is 548 bytes long, the size of
// every plain datagram, and none exceeds 1,200 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace secure {

constexpr size_t kPlainSize = 548;  // NOLVUDPPACKET
constexpr size_t kKeySize = 32;
constexpr size_t kTagSize = 16;
constexpr size_t kMacSize = 16;
constexpr size_t kCookieSize = 16;
constexpr size_t kCookieNonceSize = 24;

// Byte 0 of every keyed datagram: version 1 in the high nibble, the kind in
// the low one.
enum MessageType : uint8_t { Initiation = 0x11, Response = 0x12, CookieReply = 0x13, Transport = 0x14 };

// Initiation flags.
constexpr uint8_t kCarriesDatagram = 0x01;
// Transport flags: the sender has had a datagram of the receiver under this
// session (its address is proved both ways); the sender asks for a datagram
// back under this session (key confirmation of the initiator).
constexpr uint8_t kProven = 0x01;
constexpr uint8_t kAnswerMe = 0x02;

struct InitiationMessage {
    uint8_t type;
    uint8_t flags;
    uint8_t zero[2];
    uint8_t senderIndex[4];
    uint8_t ephemeral[32];
    uint8_t timestamp[8];                  // µs since 1970 UTC, the initiator's clock
    uint8_t sealed[kPlainSize + kTagSize]; // the first datagram (or zeros), sealed
    uint8_t padding[16];                   // zeros: room for a response and one answer
    uint8_t mac1[kMacSize];
    uint8_t mac2[kMacSize];
};

struct ResponseMessage {
    uint8_t type;
    uint8_t flags;
    uint8_t zero[2];
    uint8_t senderIndex[4];
    uint8_t receiverIndex[4];
    uint8_t ephemeral[32];
    uint8_t tag[kTagSize];
    uint8_t mac1[kMacSize];
};

struct CookieReplyMessage {
    uint8_t type;
    uint8_t zero[3];
    uint8_t receiverIndex[4];
    uint8_t nonce[kCookieNonceSize];
    uint8_t sealedCookie[kCookieSize + kTagSize];
};

struct TransportHeader {
    uint8_t type;
    uint8_t flags;
    uint8_t zero[2];
    uint8_t receiverIndex[4];
    uint8_t counter[8];
};

constexpr size_t kInitiationAuthenticated = 48; // bytes before the sealed datagram: its associated data
constexpr size_t kInitiationMac1Covers = 628;
constexpr size_t kInitiationMac2Covers = 644;
constexpr size_t kResponseAuthenticated = 44;
constexpr size_t kResponseMac1Covers = 60;
constexpr size_t kTransportHeaderSize = 16;
constexpr size_t kKeepaliveSize = kTransportHeaderSize + kTagSize;
constexpr size_t kTransportSize = kTransportHeaderSize + kPlainSize + kTagSize;
constexpr size_t kMaxWireSize = sizeof(InitiationMessage);

static_assert(sizeof(InitiationMessage) == 660, "initiation size");
static_assert(offsetof(InitiationMessage, senderIndex) == 4 && offsetof(InitiationMessage, ephemeral) == 8,
              "initiation head");
static_assert(offsetof(InitiationMessage, timestamp) == 40 && offsetof(InitiationMessage, sealed) == 48,
              "initiation stamp and datagram");
static_assert(offsetof(InitiationMessage, padding) == 612 && offsetof(InitiationMessage, mac1) == 628 &&
                  offsetof(InitiationMessage, mac2) == 644,
              "initiation tail");
static_assert(sizeof(ResponseMessage) == 76, "response size");
static_assert(offsetof(ResponseMessage, receiverIndex) == 8 && offsetof(ResponseMessage, ephemeral) == 12 &&
                  offsetof(ResponseMessage, tag) == 44 && offsetof(ResponseMessage, mac1) == 60,
              "response fields");
static_assert(sizeof(CookieReplyMessage) == 64, "cookie reply size");
static_assert(offsetof(CookieReplyMessage, receiverIndex) == 4 && offsetof(CookieReplyMessage, nonce) == 8 &&
                  offsetof(CookieReplyMessage, sealedCookie) == 32,
              "cookie reply fields");
static_assert(sizeof(TransportHeader) == kTransportHeaderSize && offsetof(TransportHeader, receiverIndex) == 4 &&
                  offsetof(TransportHeader, counter) == 8,
              "transport header");
// Before the initiator has proved its address the responder sends it at most
// what the initiation brought: the response and one transport datagram.
static_assert(sizeof(ResponseMessage) + kTransportSize <= sizeof(InitiationMessage), "answer fits the budget");
static_assert(kTransportSize != kPlainSize && kKeepaliveSize != kPlainSize && kMaxWireSize <= 1200,
              "keyed sizes are never plain, never over 1,200 bytes");

inline uint64_t getLe(const uint8_t *p, int bytes)
{
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

inline void putLe(uint8_t *p, uint64_t v, int bytes)
{
    for (int i = 0; i < bytes; ++i, v >>= 8)
        p[i] = uint8_t(v);
}

} // namespace secure
