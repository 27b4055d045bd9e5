#include "secure/secure_channel.h"

#include <cstring>

namespace secure {

SecureChannel::SecureChannel(WireSink &wire, Clock &clock, RandomSource &random, LogSink &log, const Limits &limits)
    : wire(wire), clock(clock), random(random), limits(limits), peers(random, this->limits),
      admission(random, this->limits), initiations(this->limits), drops(log, this->limits)
{
}

SecureChannel::~SecureChannel() { endAll(); }

void SecureChannel::endAll()
{
    peers.clear();
    keys.clear();
    drops.clear();
    hasKey = false;
}

bool SecureChannel::setKey(const uint8_t *key, size_t size)
{
    if (!key && size == 0) {
        endAll();
        return true;
    }
    if (!key || size != kKeySize || !cryptoReady())
        return false;
    endAll();
    keys.derive(key);
    const int64_t now = clock.monotonicUs();
    admission.reset(now);
    uint8_t fingerprintKey[16];
    random.fill(fingerprintKey, sizeof fingerprintKey);
    initiations.reset(fingerprintKey);
    wipe(fingerprintKey, sizeof fingerprintKey);
    lastHousekeepingUs = now;
    hasKey = true;
    return true;
}

size_t SecureChannel::stateBytes() const
{
    return sizeof *this + peers.bytes() + admission.bytes() + initiations.bytes() + drops.bytes();
}

size_t SecureChannel::stateBound() const
{
    const size_t perPeer = sizeof(Peer) + 48 + 2 * sizeof(Session) + sizeof(Pending) + 2 * 48;
    return sizeof *this + limits.maxPeers * perPeer + limits.maxHalfOpen * (sizeof(Session) + 48 + kPlainSize) +
           limits.maxQueuedTotal * kPlainSize + limits.rateTableSize * 48 + limits.seenInitiations * 96 +
           limits.logSources * 56;
}

// The session to send under: the current one while it may, else a
// responder's session that awaits the initiator's proof.
Session *SecureChannel::sendingSession(Peer &peer, int64_t nowUs)
{
    if (peer.current && peer.current->canSend(nowUs, limits))
        return peer.current.get();
    if (peer.next && peer.next->canSend(nowUs, limits))
        return peer.next.get();
    return nullptr;
}

int SecureChannel::seal(const uint8_t *plain, Endpoint to, uint8_t *out)
{
    if (!hasKey)
        return kPassThrough;
    const int64_t now = clock.monotonicUs();
    Peer *peer = peers.findOrAdd(to, now);
    if (!peer) {
        drops.drop(Drop::QueueFull, to, now);
        return 0;
    }
    peer->lastUseUs = now;
    Session *session = sendingSession(*peer, now);
    if (!session) {
        if (!peer->pending)
            startHandshake(*peer, plain, now);
        else
            sealQueued(*peer, plain, now);
        return 0;
    }
    const bool silent = peer->unansweredSinceUs && now - peer->unansweredSinceUs >= limits.rekeyAfterSilenceUs;
    if ((silent || session->wantsRekey(now, limits)) && !peer->pending)
        startHandshake(*peer, nullptr, now);
    if (!peer->unansweredSinceUs)
        peer->unansweredSinceUs = now;
    // What waits goes first, as far as it may; this datagram waits behind it.
    if (!peer->queue.empty())
        flushQueue(*peer, now);
    if (!peer->queue.empty() || !session->mayAfford(kTransportSize)) {
        sealQueued(*peer, plain, now);
        return 0;
    }
    return sealWith(*session, plain, out);
}

void SecureChannel::sealQueued(Peer &peer, const uint8_t *plain, int64_t nowUs)
{
    if (peers.queueFull(peer))
        drops.drop(Drop::QueueFull, peer.endpoint, nowUs);
    else
        peers.enqueue(peer, plain);
}

int SecureChannel::sealWith(Session &session, const uint8_t *plain, uint8_t *out)
{
    if (!session.initiator && !session.confirmed)
        session.budget -= int64_t(kTransportSize);
    const uint8_t flags = session.initiator || session.confirmed ? kProven : 0;
    ++counters.sealed;
    return int(session.seal(plain, flags, out));
}

void SecureChannel::startHandshake(Peer &peer, const uint8_t *plain, int64_t nowUs)
{
    auto pending = std::make_unique<Pending>();
    Secret ephemeral;
    random.fill(ephemeral.data(), kKeySize);
    pending->index = peers.newIndex(peer, nullptr);
    buildInitiation(keys, ephemeral.data(), pending->index, uint64_t(clock.wallUs()), plain, pending->message,
                    pending->secrets);
    if (peer.hasCookie && nowUs - peer.cookieUs < limits.cookieKeepUs)
        setMac2(pending->message, peer.cookie);
    pending->startedUs = nowUs;
    pending->intervalUs = limits.retryFirstUs;
    pending->nextSendUs = nowUs + pending->intervalUs;
    const InitiationMessage &message = pending->message;
    peers.beginPending(peer, std::move(pending));
    ++counters.handshakesStarted;
    wire.writeWire(reinterpret_cast<const uint8_t *>(&message), sizeof message, peer.endpoint);
}

// Sends what waited for a session, as far as the session may.
void SecureChannel::flushQueue(Peer &peer, int64_t nowUs)
{
    uint8_t out[kMaxWireSize];
    while (!peer.queue.empty()) {
        Session *session = sendingSession(peer, nowUs);
        if (!session || !session->mayAfford(kTransportSize))
            return;
        const int size = sealWith(*session, peer.queue.front().data(), out);
        peers.dequeue(peer);
        wire.writeWire(out, size_t(size), peer.endpoint);
    }
}

void SecureChannel::sendKeepalive(Peer &peer, Session &session, uint8_t flags)
{
    uint8_t out[kKeepaliveSize];
    const size_t size = session.seal(nullptr, flags, out);
    wire.writeWire(out, size, peer.endpoint);
}

} // namespace secure
