// The secure channel between the socket and the transport. With a network
// key set, it turns each outgoing plain datagram (548 bytes) into a keyed
// wire datagram for its peer, starting a handshake when the peer has no
// session (the datagram rides in the initiation), and turns each incoming
// wire datagram into the plain datagrams it carries, or into nothing: every
// datagram that does not prove itself is dropped, counted and logged (at most
// one line per source a minute) without changing any state. It owns the
// sessions per peer endpoint, the handshakes, the cookie secret, the replay
// windows and the rekeying. Without a key it passes everything through.
//
// One thread; not re-entrant: the caller finishes a call before the next.
// docs/secure-protocol.md describes the protocol.
#pragma once

#include <cstddef>
#include <cstdint>

#include "secure/admission.h"
#include "secure/drop_log.h"
#include "secure/handshake.h"
#include "secure/initiation_log.h"
#include "secure/limits.h"
#include "secure/neighbours.h"
#include "secure/peer_table.h"
#include "secure/session.h"
#include "secure/wire_format.h"

namespace secure {

struct ChannelStats {
    uint64_t handshakesStarted = 0;   // initiations of new handshakes (not resends)
    uint64_t handshakesCompleted = 0; // responses accepted
    uint64_t handshakesAnswered = 0;  // initiations answered with a response
    uint64_t sessionsConfirmed = 0;   // responder sessions proved by the initiator
    uint64_t cookieRepliesSent = 0;
    uint64_t cookiesTaken = 0;
    uint64_t sealed = 0;              // transport datagrams carrying a datagram
    uint64_t opened = 0;
};

class SecureChannel {
public:
    static constexpr int kPassThrough = -1; // no key: the datagram goes as it is
    static constexpr int kMaxReleased = 2;  // plain datagrams one wire datagram can release

    SecureChannel(WireSink &wire, Clock &clock, RandomSource &random, LogSink &log, const Limits &limits = Limits());
    ~SecureChannel();
    SecureChannel(const SecureChannel &) = delete;
    SecureChannel &operator=(const SecureChannel &) = delete;

    // A 32-byte network key, or (null, 0) for none. Any change ends every
    // session and drops what waits for one. False (nothing changed) for
    // another length, or when libsodium cannot start.
    bool setKey(const uint8_t *key, size_t size);
    bool keyed() const { return hasKey; }

    // One outgoing plain datagram of kPlainSize bytes for `to`. Returns the
    // size of the wire datagram written to out (room for kMaxWireSize bytes)
    // for the caller to send; 0 when the channel took it (it went out in an
    // initiation through the WireSink, waits for a handshake, or was
    // dropped); kPassThrough without a key.
    int seal(const uint8_t *plain, Endpoint to, uint8_t *out);

    // One incoming wire datagram from `from`. Writes the plain datagrams it
    // releases to out (room for kMaxReleased) and returns their number,
    // kPassThrough without a key. Replies it needs go through the WireSink.
    int open(const uint8_t *data, size_t size, Endpoint from, PlainDatagram *out);

    // Runs what is due: initiations resent or given up, confirmations,
    // expiry. Call it at nextPollUs() (monotonic µs) or later.
    void poll();
    int64_t nextPollUs() const;

    const ChannelStats &stats() const { return counters; }
    uint64_t dropped(Drop reason) const { return drops.count(reason); }
    // What the channel holds, in bytes, and the most it can hold with its limits.
    size_t stateBytes() const;
    size_t stateBound() const;

private:
    Session *sendingSession(Peer &peer, int64_t nowUs);
    void sealQueued(Peer &peer, const uint8_t *plain, int64_t nowUs);
    void startHandshake(Peer &peer, const uint8_t *plain, int64_t nowUs);
    void flushQueue(Peer &peer, int64_t nowUs);
    void sendKeepalive(Peer &peer, Session &session, uint8_t flags);
    int sealWith(Session &session, const uint8_t *plain, uint8_t *out);

    int onTransport(const uint8_t *data, size_t size, Endpoint from, PlainDatagram *out, int64_t nowUs);
    int confirm(Peer &peer, PlainDatagram *out, int count, int64_t nowUs);
    int onInitiation(const uint8_t *data, Endpoint from, PlainDatagram *out, int64_t nowUs);
    bool admitted(const InitiationMessage &message, Endpoint from, int64_t nowUs);
    bool answerAgain(Peer *peer, uint64_t initiationId);
    int respond(const InitiationMessage &message, Endpoint from, uint64_t initiationId, PlainDatagram *out,
                int64_t nowUs);
    void onResponse(const uint8_t *data, Endpoint from, int64_t nowUs);
    void onCookieReply(const uint8_t *data, Endpoint from, int64_t nowUs);
    Peer *pendingPeer(uint32_t index, Endpoint from, int64_t nowUs);

    void pollPeer(Peer &peer, int64_t nowUs);
    void resendInitiation(Peer &peer, int64_t nowUs);
    void housekeeping(Peer &peer, int64_t nowUs);
    void endAll();

    WireSink &wire;
    Clock &clock;
    RandomSource &random;
    const Limits limits;
    bool hasKey = false;
    NetworkKeys keys;
    PeerTable peers;
    Admission admission;
    InitiationLog initiations;
    DropLog drops;
    ChannelStats counters;
    int64_t lastHousekeepingUs = 0;
};

} // namespace secure
