// One session with a peer: the two directions' keys, the sending counter,
// the receiving replay window, and what its role still waits for. A
// responder's session is unconfirmed until the initiator's first datagram
// under it arrives (which proves the initiator's address); until then it may
// send only the bytes the initiation brought. An initiator's session asks
// for an answer until a datagram of the responder says it has ours.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "secure/handshake.h"
#include "secure/limits.h"
#include "secure/replay_window.h"
#include "secure/wire_format.h"

namespace secure {

using PlainDatagram = std::array<uint8_t, kPlainSize>;

// Why Session::open refused a datagram.
enum OpenRefusal : int { kReplayed = -1, kNotAuthentic = -2, kSessionTooOld = -3 };

struct Session {
    uint32_t localIndex = 0;  // receiver index of the datagrams that come to us
    uint32_t remoteIndex = 0; // receiver index of the datagrams we send
    bool initiator = false;
    int64_t createdUs = 0;
    SessionKeys keys;
    uint64_t sendCounter = 0;
    ReplayWindow window;

    // Responder's side, until confirmed.
    bool confirmed = false;
    int64_t budget = 0;           // bytes it may still send
    ResponseMessage response{};   // resent when the same initiation comes again
    uint64_t initiationId = 0;    // fingerprint of that initiation's ephemeral key
    std::unique_ptr<PlainDatagram> held; // the datagram of a stale initiation

    // Initiator's side, until the responder shows it has our datagrams.
    bool peerProven = false;
    int confirmsLeft = 0;
    int64_t nextConfirmUs = 0;
    int64_t confirmIntervalUs = 0;

    bool canSend(int64_t nowUs, const Limits &limits) const;
    // Whether the amplification budget allows sending this many bytes now.
    bool mayAfford(size_t bytes) const { return initiator || confirmed || budget >= int64_t(bytes); }
    bool wantsRekey(int64_t nowUs, const Limits &limits) const;
    bool expired(int64_t nowUs, const Limits &limits) const;

    // Writes a transport datagram carrying plain (kPlainSize bytes), or an
    // empty one for null; returns its size.
    size_t seal(const uint8_t *plain, uint8_t flags, uint8_t *out);
    // Opens a transport datagram (kTransportSize or kKeepaliveSize bytes)
    // addressed to this session: kPlainSize when plain holds a datagram, 0
    // for an empty one, an OpenRefusal otherwise. Only an authentic datagram
    // changes the window. flags receives the header's flags.
    int open(const uint8_t *wire, size_t size, uint8_t *plain, uint8_t &flags, int64_t nowUs,
             const Limits &limits);

private:
    const uint8_t *sendKey() const;
    const uint8_t *receiveKey() const;
};

} // namespace secure
