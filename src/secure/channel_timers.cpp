// What the channel does by time: initiations resent and given up, the
// initiator's confirmations repeated, expired sessions and idle peers
// removed.
#include <algorithm>
#include <climits>

#include "secure/secure_channel.h"

namespace secure {

namespace {

bool confirmDue(const Session *session)
{
    return session && session->initiator && !session->peerProven && session->confirmsLeft > 0;
}

} // namespace

void SecureChannel::poll()
{
    if (!hasKey)
        return;
    const int64_t now = clock.monotonicUs();
    const bool sweep = now - lastHousekeepingUs >= limits.housekeepingUs;
    if (sweep) {
        lastHousekeepingUs = now;
        drops.expire(now);
    }
    peers.forEach([&](Peer &peer) {
        pollPeer(peer, now);
        if (sweep)
            housekeeping(peer, now);
    });
}

int64_t SecureChannel::nextPollUs() const
{
    if (!hasKey)
        return INT64_MAX;
    int64_t next = lastHousekeepingUs + limits.housekeepingUs;
    peers.forEach([&](const Peer &peer) {
        if (peer.pending)
            next = std::min(next, peer.pending->nextSendUs);
        if (confirmDue(peer.current.get()))
            next = std::min(next, peer.current->nextConfirmUs);
    });
    return next;
}

void SecureChannel::pollPeer(Peer &peer, int64_t nowUs)
{
    if (peer.pending && nowUs >= peer.pending->nextSendUs)
        resendInitiation(peer, nowUs);
    Session *session = peer.current.get();
    if (confirmDue(session) && nowUs >= session->nextConfirmUs) {
        --session->confirmsLeft;
        session->confirmIntervalUs *= 2;
        session->nextConfirmUs = nowUs + session->confirmIntervalUs;
        sendKeepalive(peer, *session, kProven | kAnswerMe);
    }
}

// The same initiation again, its interval doubled; after the give-up time the
// handshake ends and what waited for it is dropped.
void SecureChannel::resendInitiation(Peer &peer, int64_t nowUs)
{
    Pending &pending = *peer.pending;
    if (nowUs - pending.startedUs >= limits.giveUpAfterUs) {
        const size_t dropped = peers.dropQueue(peer);
        peers.endPending(peer);
        if (dropped)
            drops.drop(Drop::HandshakeFailed, peer.endpoint, nowUs, dropped);
        return;
    }
    pending.intervalUs = std::min(2 * pending.intervalUs, limits.retryMaxUs);
    pending.nextSendUs = nowUs + pending.intervalUs;
    pending.cookieTaken = false;
    if (peer.hasCookie && nowUs - peer.cookieUs < limits.cookieKeepUs)
        setMac2(pending.message, peer.cookie);
    wire.writeWire(reinterpret_cast<const uint8_t *>(&pending.message), sizeof pending.message, peer.endpoint);
}

void SecureChannel::housekeeping(Peer &peer, int64_t nowUs)
{
    for (std::unique_ptr<Session> *slot : {&peer.previous, &peer.current, &peer.next})
        if (*slot && (*slot)->expired(nowUs, limits))
            peers.drop(peer, *slot);
    // Datagrams that waited for a responder's session whose initiator never
    // proved itself have nowhere to go.
    if (!peer.current && !peer.next && !peer.pending && !peer.queue.empty())
        drops.drop(Drop::HandshakeFailed, peer.endpoint, nowUs, peers.dropQueue(peer));
    peers.eraseIfEmpty(peer);
}

} // namespace secure
