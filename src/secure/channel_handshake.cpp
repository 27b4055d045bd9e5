// Handshake messages: the responder's side (initiations, flood defence) and
// the initiator's (responses, cookie replies).
#include <cstring>

#include "secure/secure_channel.h"

namespace secure {

namespace {

template <typename Message> void copyIn(Message &message, const uint8_t *data)
{
    std::memcpy(&message, data, sizeof message);
}

const uint8_t *bytesOf(const void *message) { return static_cast<const uint8_t *>(message); }

} // namespace

int SecureChannel::onInitiation(const uint8_t *data, Endpoint from, PlainDatagram *out, int64_t nowUs)
{
    InitiationMessage message;
    copyIn(message, data);
    if (!initiationMac1Valid(keys, message)) {
        drops.drop(Drop::BadMac, from, nowUs);
        return 0;
    }
    if (!admitted(message, from, nowUs))
        return 0;
    const uint64_t id = initiations.fingerprint(message.ephemeral);
    if (answerAgain(peers.find(from), id))
        return 0;
    if (initiations.seen(id)) {
        drops.drop(Drop::ReplayedInitiation, from, nowUs);
        return 0;
    }
    return respond(message, from, id, out, nowUs);
}

// Under load an initiation needs a cookie for its source; one without gets a
// cookie reply and nothing else.
bool SecureChannel::admitted(const InitiationMessage &message, Endpoint from, int64_t nowUs)
{
    if (!admission.underLoad(peers.halfOpen(), nowUs))
        return true;
    if (!admission.cookieValid(message, from, nowUs)) {
        CookieReplyMessage reply;
        admission.cookieReply(keys, message, from, nowUs, reply);
        ++counters.cookieRepliesSent;
        wire.writeWire(bytesOf(&reply), sizeof reply, from);
        return false;
    }
    if (!admission.addressAllowed(from.address, nowUs)) {
        drops.drop(Drop::RateLimited, from, nowUs);
        return false;
    }
    return true;
}

// The same initiation again from the same endpoint: the initiator missed our
// response. It gets the same response again, within what it has sent us.
bool SecureChannel::answerAgain(Peer *peer, uint64_t initiationId)
{
    if (!peer || !peer->next || peer->next->initiationId != initiationId)
        return false;
    Session &session = *peer->next;
    session.budget += int64_t(sizeof(InitiationMessage));
    if (session.mayAfford(sizeof(ResponseMessage))) {
        session.budget -= int64_t(sizeof(ResponseMessage));
        wire.writeWire(bytesOf(&session.response), sizeof session.response, peer->endpoint);
    }
    return true;
}

int SecureChannel::respond(const InitiationMessage &message, Endpoint from, uint64_t initiationId,
                           PlainDatagram *out, int64_t nowUs)
{
    PlainDatagram datagram;
    ResponderSecrets secrets;
    Peer *peer = nullptr;
    if (!openInitiation(keys, message, datagram.data(), secrets)) {
        drops.drop(Drop::NotAuthentic, from, nowUs);
        return 0;
    }
    peers.limitHalfOpen();
    if (!(peer = peers.findOrAdd(from, nowUs))) {
        drops.drop(Drop::RateLimited, from, nowUs);
        return 0;
    }
    auto session = std::make_unique<Session>();
    Secret ephemeral;
    random.fill(ephemeral.data(), kKeySize);
    session->localIndex = peers.newIndex(*peer, session.get());
    session->remoteIndex = uint32_t(getLe(message.senderIndex, 4));
    if (!buildResponse(keys, secrets, ephemeral.data(), session->localIndex, session->remoteIndex,
                       session->response, session->keys)) {
        peers.freeIndex(session->localIndex);
        peers.eraseIfEmpty(*peer);
        drops.drop(Drop::NotAuthentic, from, nowUs);
        return 0;
    }
    session->createdUs = nowUs;
    session->budget = int64_t(sizeof(InitiationMessage) - sizeof(ResponseMessage));
    session->initiationId = initiationId;
    const int64_t stamp = int64_t(getLe(message.timestamp, 8));
    const int64_t wall = clock.wallUs();
    const bool fresh = initiations.fresh(stamp, wall);
    initiations.remember(initiationId, stamp, wall);
    const bool carries = message.flags & kCarriesDatagram;
    if (carries && !fresh)
        session->held = std::make_unique<PlainDatagram>(datagram);
    const ResponseMessage &response = session->response;
    peers.putNext(*peer, std::move(session));
    peer->lastUseUs = nowUs;
    ++counters.handshakesAnswered;
    wire.writeWire(bytesOf(&response), sizeof response, from);
    flushQueue(*peer, nowUs);
    if (carries && fresh)
        out[0] = datagram;
    wipe(datagram.data(), datagram.size());
    return carries && fresh ? 1 : 0;
}

// The peer whose pending handshake has this index, when the datagram comes
// from that peer.
Peer *SecureChannel::pendingPeer(uint32_t index, Endpoint from, int64_t nowUs)
{
    const PeerTable::Found found = peers.byIndex(index);
    Drop refusal = Drop::Count;
    if (!found.peer)
        refusal = Drop::UnknownIndex;
    else if (found.session)
        refusal = Drop::Replayed; // that handshake is done: a copy of its response
    else if (found.peer->endpoint != from)
        refusal = Drop::WrongSource;
    if (refusal == Drop::Count)
        return found.peer;
    drops.drop(refusal, from, nowUs);
    return nullptr;
}

void SecureChannel::onResponse(const uint8_t *data, Endpoint from, int64_t nowUs)
{
    ResponseMessage message;
    copyIn(message, data);
    if (!responseMac1Valid(keys, message)) {
        drops.drop(Drop::BadMac, from, nowUs);
        return;
    }
    Peer *peer = pendingPeer(uint32_t(getLe(message.receiverIndex, 4)), from, nowUs);
    if (!peer)
        return;
    auto session = std::make_unique<Session>();
    if (!openResponse(peer->pending->secrets, message, session->keys)) {
        drops.drop(Drop::NotAuthentic, from, nowUs);
        return;
    }
    session->localIndex = peer->pending->index;
    session->remoteIndex = uint32_t(getLe(message.senderIndex, 4));
    session->initiator = true;
    session->confirmed = true;
    session->createdUs = nowUs;
    session->confirmsLeft = limits.confirmSends;
    session->confirmIntervalUs = limits.retryFirstUs;
    session->nextConfirmUs = nowUs + limits.retryFirstUs;
    Session &installed = *session;
    peers.completePending(*peer, std::move(session));
    ++counters.handshakesCompleted;
    peer->lastUseUs = nowUs;
    peer->unansweredSinceUs = 0;
    if (peer->queue.empty()) {
        // Nothing to send: an empty datagram proves our address and asks for an answer.
        --installed.confirmsLeft;
        sendKeepalive(*peer, installed, kProven | kAnswerMe);
    } else {
        flushQueue(*peer, nowUs);
    }
}

void SecureChannel::onCookieReply(const uint8_t *data, Endpoint from, int64_t nowUs)
{
    CookieReplyMessage message;
    copyIn(message, data);
    Peer *peer = pendingPeer(uint32_t(getLe(message.receiverIndex, 4)), from, nowUs);
    if (!peer)
        return;
    Pending &pending = *peer->pending;
    uint8_t cookie[kCookieSize];
    if (pending.cookieTaken || !openCookieReply(keys, message, pending.message.mac1, cookie)) {
        drops.drop(pending.cookieTaken ? Drop::Replayed : Drop::NotAuthentic, from, nowUs);
        return;
    }
    std::memcpy(peer->cookie, cookie, kCookieSize);
    peer->cookieUs = nowUs;
    peer->hasCookie = true;
    ++counters.cookiesTaken;
    setMac2(pending.message, cookie);
    pending.cookieTaken = true;
    wire.writeWire(bytesOf(&pending.message), sizeof pending.message, peer->endpoint);
}

} // namespace secure
