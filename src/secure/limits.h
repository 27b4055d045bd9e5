// The channel's timings and bounds. The defaults are the protocol's
// (docs/secure-protocol.md); tests shorten them to reach the rules quickly.
#pragma once

#include <cstddef>
#include <cstdint>

namespace secure {

struct Limits {
    // Sessions.
    int64_t rekeyAfterUs = 120'000'000;         // the initiator starts a new handshake when it sends
    int64_t responderRekeyAfterUs = 135'000'000; // the responder does, if the initiator has not
    int64_t rejectAfterUs = 180'000'000;        // no datagram is sealed or opened under an older session
    int64_t rekeyAfterSilenceUs = 15'000'000;   // sending with nothing heard back for this long
    uint64_t rekeyAfterMessages = uint64_t(1) << 30;
    uint64_t rejectAfterMessages = uint64_t(1) << 31;
    // Handshakes.
    int64_t retryFirstUs = 250'000;    // initiation resent after this, doubling
    int64_t retryMaxUs = 2'000'000;    // ... up to this
    int64_t giveUpAfterUs = 10'000'000; // then the waiting datagrams are dropped
    int confirmSends = 5;              // empty datagrams asking the responder to answer
    int64_t halfOpenLifetimeUs = 15'000'000;
    int64_t freshnessUs = 30'000'000;  // an initiation stamped further from our clock waits for confirmation
    // Flood protection.
    size_t halfOpenForCookies = 64; // from this many unconfirmed sessions on, initiations need a cookie
    size_t maxHalfOpen = 1024;      // the oldest unconfirmed session goes to make room
    double initiationsPerSecond = 500; // more than this (burst 100) also calls for cookies
    double initiationBurst = 100;
    double perAddressPerSecond = 20;   // with a valid cookie, per IPv4 address (burst 10)
    double perAddressBurst = 10;
    size_t rateTableSize = 4096;
    int64_t cookieRotateUs = 120'000'000;
    int64_t cookieKeepUs = 110'000'000; // how long an initiator uses a cookie it got
    size_t seenInitiations = 4096;
    // Everything else.
    size_t maxPeers = 8192;
    size_t maxQueuedPerPeer = 64;
    size_t maxQueuedTotal = 4096;
    size_t logSources = 256;
    int64_t logEveryUs = 60'000'000;
    int64_t housekeepingUs = 1'000'000;
};

} // namespace secure
