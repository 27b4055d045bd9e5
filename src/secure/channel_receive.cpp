// Incoming wire datagrams: sorted by size and type, transport datagrams
// opened under their session.
#include <cstring>

#include "secure/secure_channel.h"

namespace secure {

int SecureChannel::open(const uint8_t *data, size_t size, Endpoint from, PlainDatagram *out)
{
    if (!hasKey)
        return kPassThrough;
    const int64_t now = clock.monotonicUs();
    if (size == kPlainSize) {
        drops.drop(Drop::Unkeyed, from, now);
        return 0;
    }
    const uint8_t type = size ? data[0] : 0;
    if (type == Transport && (size == kTransportSize || size == kKeepaliveSize))
        return onTransport(data, size, from, out, now);
    if (type == Initiation && size == sizeof(InitiationMessage))
        return onInitiation(data, from, out, now);
    if (type == Response && size == sizeof(ResponseMessage))
        onResponse(data, from, now);
    else if (type == CookieReply && size == sizeof(CookieReplyMessage))
        onCookieReply(data, from, now);
    else
        drops.drop(Drop::Malformed, from, now);
    return 0;
}

namespace {

Drop dropFor(int refusal)
{
    switch (refusal) {
    case kReplayed: return Drop::Replayed;
    case kSessionTooOld: return Drop::SessionTooOld;
    default: return Drop::NotAuthentic;
    }
}

} // namespace

int SecureChannel::onTransport(const uint8_t *data, size_t size, Endpoint from, PlainDatagram *out, int64_t nowUs)
{
    const PeerTable::Found found = peers.byIndex(uint32_t(getLe(data + offsetof(TransportHeader, receiverIndex), 4)));
    if (!found.session) {
        drops.drop(Drop::UnknownIndex, from, nowUs);
        return 0;
    }
    if (found.peer->endpoint != from) {
        drops.drop(Drop::WrongSource, from, nowUs);
        return 0;
    }
    Peer &peer = *found.peer;
    Session &session = *found.session;
    uint8_t flags = 0;
    const int opened = session.open(data, size, out[0].data(), flags, nowUs, limits);
    if (opened < 0) {
        drops.drop(dropFor(opened), from, nowUs);
        return 0;
    }
    ++counters.opened;
    peer.lastUseUs = nowUs;
    peer.unansweredSinceUs = 0;
    if (session.initiator && (flags & kProven))
        session.peerProven = true;
    int count = opened > 0 ? 1 : 0;
    if (!session.initiator && !session.confirmed)
        count = confirm(peer, out, count, nowUs);
    if ((flags & kAnswerMe) && !session.initiator)
        sendKeepalive(peer, session, kProven);
    return count;
}

// The initiator's first datagram under the peer's next session proves its
// address: the session becomes the current one, a datagram it held back is
// released ahead of the one just opened (out[0], when count is 1), and what
// waited for the proof goes out.
int SecureChannel::confirm(Peer &peer, PlainDatagram *out, int count, int64_t nowUs)
{
    Session &session = *peer.next;
    if (session.held) {
        if (count == 1)
            out[1] = out[0];
        peers.takeHeld(session, out[0].data());
        ++count;
    }
    peers.confirmNext(peer);
    ++counters.sessionsConfirmed;
    flushQueue(peer, nowUs);
    return count;
}

} // namespace secure
