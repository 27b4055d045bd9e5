// Everything the channel holds per peer endpoint, and the one table that
// owns it: the peers by endpoint and the sessions and handshakes by the index
// their datagrams carry. Every session or handshake added here gets an index
// that no other one has; removing it frees the index and wipes its keys.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>

#include "secure/handshake.h"
#include "secure/limits.h"
#include "secure/neighbours.h"
#include "secure/session.h"

namespace secure {

// A handshake this unit started: the initiation is resent unchanged until
// the response comes or the handshake gives up.
struct Pending {
    uint32_t index = 0;
    InitiatorSecrets secrets;
    InitiationMessage message{};
    int64_t startedUs = 0;
    int64_t nextSendUs = 0;
    int64_t intervalUs = 0;
    bool cookieTaken = false; // a cookie reply was acted on since the last send
};

struct Peer {
    Endpoint endpoint;
    std::unique_ptr<Session> current;  // sends
    std::unique_ptr<Session> previous; // still received until it expires
    std::unique_ptr<Session> next;     // a responder's session awaiting confirmation
    std::unique_ptr<Pending> pending;
    std::deque<PlainDatagram> queue;   // waiting for a session, or for the initiator's proof
    uint8_t cookie[kCookieSize] = {};
    int64_t cookieUs = 0;
    bool hasCookie = false;
    int64_t lastUseUs = 0;
    // Since when we have sent under a session and heard nothing back (0:
    // we have heard the peer since our last send). A peer that lost its
    // sessions (it restarted, or its address changed) is silent: a new
    // handshake follows.
    int64_t unansweredSinceUs = 0;
};

class PeerTable {
public:
    PeerTable(RandomSource &random, const Limits &limits) : random(random), limits(limits) {}

    Peer *find(Endpoint endpoint);
    // Null when the table is full of peers that are in use.
    Peer *findOrAdd(Endpoint endpoint, int64_t nowUs);
    void erase(Peer &peer);
    // Erases a peer that holds nothing any more.
    void eraseIfEmpty(Peer &peer);
    void clear();

    struct Found {
        Peer *peer = nullptr;
        Session *session = nullptr; // null: the index is the peer's pending handshake
    };
    Found byIndex(uint32_t index) const;
    uint32_t newIndex(Peer &peer, Session *session);
    void freeIndex(uint32_t index) { indices.erase(index); }

    void beginPending(Peer &peer, std::unique_ptr<Pending> pending);
    void endPending(Peer &peer);
    // The pending handshake's index passes to the session it produced.
    void completePending(Peer &peer, std::unique_ptr<Session> session);
    // Installs a responder's unconfirmed session as the peer's next.
    void putNext(Peer &peer, std::unique_ptr<Session> session);
    // The next session proved itself: it becomes the current one.
    void confirmNext(Peer &peer);
    void drop(Peer &peer, std::unique_ptr<Session> &slot);
    // Hands out the datagram a session held back; false when it holds none.
    bool takeHeld(Session &session, uint8_t *out);
    // Makes room for one more unconfirmed session by dropping the oldest.
    void limitHalfOpen();

    void enqueue(Peer &peer, const uint8_t *plain);
    void dequeue(Peer &peer);
    size_t dropQueue(Peer &peer);
    bool queueFull(const Peer &peer) const;

    size_t halfOpen() const { return halfOpenCount; }
    size_t size() const { return peers.size(); }
    size_t bytes() const;

    template <typename F> void forEach(F &&f)
    {
        for (auto it = peers.begin(); it != peers.end();) {
            Peer &peer = *(it++)->second;
            f(peer); // may erase peer
        }
    }

    template <typename F> void forEach(F &&f) const
    {
        for (const auto &entry : peers)
            f(static_cast<const Peer &>(*entry.second));
    }

private:
    void install(Peer &peer, std::unique_ptr<Session> session);
    void release(Session &session);
    bool evictIdle();

    RandomSource &random;
    const Limits &limits;
    std::unordered_map<uint64_t, std::unique_ptr<Peer>> peers;
    std::unordered_map<uint32_t, Found> indices;
    size_t halfOpenCount = 0;
    size_t sessionCount = 0;
    size_t pendingCount = 0;
    size_t heldCount = 0;
    size_t queuedTotal = 0;
};

} // namespace secure
