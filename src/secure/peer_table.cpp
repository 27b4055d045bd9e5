#include "secure/peer_table.h"

#include <cstring>

namespace secure {

Peer *PeerTable::find(Endpoint endpoint)
{
    auto it = peers.find(endpoint.id());
    return it == peers.end() ? nullptr : it->second.get();
}

Peer *PeerTable::findOrAdd(Endpoint endpoint, int64_t nowUs)
{
    if (Peer *peer = find(endpoint))
        return peer;
    if (peers.size() >= limits.maxPeers && !evictIdle())
        return nullptr;
    auto peer = std::make_unique<Peer>();
    peer->endpoint = endpoint;
    peer->lastUseUs = nowUs;
    Peer *raw = peer.get();
    peers.emplace(endpoint.id(), std::move(peer));
    return raw;
}

// The peer used longest ago that has nothing waiting goes, sessions and all.
bool PeerTable::evictIdle()
{
    Peer *oldest = nullptr;
    for (auto &entry : peers) {
        Peer &peer = *entry.second;
        if (!peer.pending && peer.queue.empty() && (!oldest || peer.lastUseUs < oldest->lastUseUs))
            oldest = &peer;
    }
    if (oldest)
        erase(*oldest);
    return oldest != nullptr;
}

void PeerTable::erase(Peer &peer)
{
    drop(peer, peer.current);
    drop(peer, peer.previous);
    drop(peer, peer.next);
    endPending(peer);
    dropQueue(peer);
    peers.erase(peer.endpoint.id());
}

void PeerTable::eraseIfEmpty(Peer &peer)
{
    if (!peer.current && !peer.previous && !peer.next && !peer.pending && peer.queue.empty())
        erase(peer);
}

void PeerTable::clear()
{
    forEach([this](Peer &peer) { erase(peer); });
}

PeerTable::Found PeerTable::byIndex(uint32_t index) const
{
    auto it = indices.find(index);
    return it == indices.end() ? Found{} : it->second;
}

uint32_t PeerTable::newIndex(Peer &peer, Session *session)
{
    uint32_t index = 0;
    while (index == 0 || indices.count(index)) {
        uint8_t bytes[4];
        random.fill(bytes, sizeof bytes);
        index = uint32_t(getLe(bytes, 4));
    }
    indices.emplace(index, Found{&peer, session});
    return index;
}

void PeerTable::beginPending(Peer &peer, std::unique_ptr<Pending> pending)
{
    endPending(peer);
    peer.pending = std::move(pending);
    ++pendingCount;
}

void PeerTable::endPending(Peer &peer)
{
    if (!peer.pending)
        return;
    indices.erase(peer.pending->index);
    peer.pending.reset();
    --pendingCount;
}

void PeerTable::completePending(Peer &peer, std::unique_ptr<Session> session)
{
    indices[peer.pending->index] = Found{&peer, session.get()};
    peer.pending.reset();
    --pendingCount;
    ++sessionCount;
    install(peer, std::move(session));
}

void PeerTable::install(Peer &peer, std::unique_ptr<Session> session)
{
    drop(peer, peer.previous);
    peer.previous = std::move(peer.current);
    peer.current = std::move(session);
}

void PeerTable::putNext(Peer &peer, std::unique_ptr<Session> session)
{
    drop(peer, peer.next);
    ++sessionCount;
    ++halfOpenCount;
    heldCount += session->held ? 1 : 0;
    peer.next = std::move(session);
}

void PeerTable::confirmNext(Peer &peer)
{
    peer.next->confirmed = true;
    --halfOpenCount;
    install(peer, std::move(peer.next));
}

void PeerTable::release(Session &session)
{
    indices.erase(session.localIndex);
    if (!session.initiator && !session.confirmed)
        --halfOpenCount;
    if (session.held)
        --heldCount;
    --sessionCount;
}

void PeerTable::drop(Peer &, std::unique_ptr<Session> &slot)
{
    if (!slot)
        return;
    release(*slot);
    slot.reset();
}

bool PeerTable::takeHeld(Session &session, uint8_t *out)
{
    if (!session.held)
        return false;
    std::memcpy(out, session.held->data(), kPlainSize);
    wipe(session.held->data(), kPlainSize);
    session.held.reset();
    --heldCount;
    return true;
}

void PeerTable::limitHalfOpen()
{
    while (halfOpenCount >= limits.maxHalfOpen) {
        Peer *oldest = nullptr;
        for (auto &entry : peers) {
            Peer &peer = *entry.second;
            if (peer.next && !peer.next->confirmed && (!oldest || peer.next->createdUs < oldest->next->createdUs))
                oldest = &peer;
        }
        if (!oldest)
            return;
        drop(*oldest, oldest->next);
        eraseIfEmpty(*oldest);
    }
}

void PeerTable::enqueue(Peer &peer, const uint8_t *plain)
{
    peer.queue.emplace_back();
    std::memcpy(peer.queue.back().data(), plain, kPlainSize);
    ++queuedTotal;
}

void PeerTable::dequeue(Peer &peer)
{
    peer.queue.pop_front();
    --queuedTotal;
}

size_t PeerTable::dropQueue(Peer &peer)
{
    const size_t n = peer.queue.size();
    peer.queue.clear();
    queuedTotal -= n;
    return n;
}

bool PeerTable::queueFull(const Peer &peer) const
{
    return peer.queue.size() >= limits.maxQueuedPerPeer || queuedTotal >= limits.maxQueuedTotal;
}

// Objects by their size, each table entry with a node's bookkeeping.
size_t PeerTable::bytes() const
{
    return peers.size() * (sizeof(Peer) + 48) + sessionCount * sizeof(Session) + pendingCount * sizeof(Pending) +
           (queuedTotal + heldCount) * kPlainSize + indices.size() * 48;
}

} // namespace secure
