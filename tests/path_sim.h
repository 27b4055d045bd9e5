// A discrete-event simulation of senders sharing one bottleneck, on a clock
// of its own (microseconds, no real time): a link with a rate, a drop-tail
// queue, a propagation delay, optional jitter and seeded random loss; paced
// senders driven by a RateController and a Pacer that wake about every
// millisecond and on feedback, with a receiver that writes feedback as the
// peers do (optionally a receiving process slower than the link, reading
// from a socket buffer of its own); random loss of feedback on the way back;
// and a loss-based (Reno) flow to share the path with.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <queue>
#include <random>
#include <vector>

#include "transport/rate/pacer.h"
#include "transport/rate/rate_controller.h"

namespace sim {

constexpr int kWireBytes = 576; // 548 bytes and the IPv4/UDP headers

// Datagrams per second through a link of `bitsPerSecond`.
inline double datagramsPerSecond(double bitsPerSecond) { return bitsPerSecond / (8.0 * kWireBytes); }

class Clock {
public:
    int64_t now() const { return nowUs; }
    void at(int64_t t, std::function<void()> action)
    {
        events.push(Event{std::max(t, nowUs), order++, std::move(action)});
    }
    // Runs events until `untilUs` (or none are left).
    void runUntil(int64_t untilUs)
    {
        while (!events.empty() && events.top().t <= untilUs) {
            Event e = events.top();
            events.pop();
            nowUs = e.t;
            e.action();
        }
        nowUs = std::max(nowUs, untilUs);
    }

private:
    struct Event {
        int64_t t;
        uint64_t order;
        std::function<void()> action;
        bool operator>(const Event &o) const { return t != o.t ? t > o.t : order > o.order; }
    };
    std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events;
    int64_t nowUs = 1000000; // a clock that does not start at zero
    uint64_t order = 0;
};

struct PathConfig {
    double bitsPerSecond = 10e6;
    int64_t rttUs = 30000;          // propagation, both ways together
    int64_t queueUs = 50000;        // drop-tail queue, in time at the link rate
    double lossChance = 0;          // random loss after the queue
    double feedbackLossChance = 0;  // random loss of feedback on the way back
    int64_t jitterUs = 0;           // uniform extra delay on the forward way, order kept
    double reorderChance = 0;       // datagrams held back on the forward way, behind later ones
    int64_t reorderUs = 0;
    unsigned seed = 1;
};

struct Datagram {
    int flow;
    uint32_t number;
    bool ask;
    int64_t queuedUs;
};

// The bottleneck: one queue, one link, then the forward delay.
class Bottleneck {
public:
    using Receive = std::function<void(const Datagram &)>;

    Bottleneck(Clock &clock, PathConfig config)
        : clock(clock), cfg(config), rng(config.seed), backRng(config.seed + 1000),
          queueLimit(std::max<int64_t>(1, int64_t(datagramsPerSecond(config.bitsPerSecond) * config.queueUs / 1e6)))
    {
    }

    int attach(Receive receive)
    {
        flows.push_back(Flow{std::move(receive), 0, 0, 0, {}});
        return int(flows.size()) - 1;
    }
    void send(Datagram d)
    {
        if (int64_t(queue.size()) >= queueLimit) {
            ++flows[size_t(d.flow)].dropped;
            ++flows[size_t(d.flow)].overflowed;
            return;
        }
        d.queuedUs = clock.now();
        queue.push_back(d);
        if (!busy)
            transmitNext();
    }
    // Whether a feedback datagram written now survives the way back.
    bool feedbackSurvives()
    {
        return !(cfg.feedbackLossChance > 0 && std::uniform_real_distribution<double>(0, 1)(backRng) < cfg.feedbackLossChance);
    }
    uint64_t dropped(int flow) const { return flows[size_t(flow)].dropped; }
    uint64_t overflowed(int flow) const { return flows[size_t(flow)].overflowed; } // of those dropped: by the full queue
    // Time each datagram of the flow waited in the queue.
    const std::vector<int64_t> &queueDelays(int flow) const { return flows[size_t(flow)].delays; }
    const PathConfig &config() const { return cfg; }
    // The link's rate from now on; the queue keeps its length in datagrams.
    void setRate(double bitsPerSecond) { cfg.bitsPerSecond = bitsPerSecond; }

private:
    struct Flow {
        Receive receive;
        uint64_t dropped, overflowed;
        int64_t lastArrivalUs;
        std::vector<int64_t> delays;
    };
    void transmitNext()
    {
        if (queue.empty()) {
            busy = false;
            return;
        }
        busy = true;
        const Datagram d = queue.front();
        queue.pop_front();
        Flow &f = flows[size_t(d.flow)];
        f.delays.push_back(clock.now() - d.queuedUs);
        // The link's time is kept in fractions of a microsecond, so that
        // fast links run at their rate, not at a rounded one.
        freeAtUs = std::max(freeAtUs, double(clock.now())) + kWireBytes * 8 * 1e6 / cfg.bitsPerSecond;
        const int64_t done = std::max(clock.now() + 1, int64_t(std::ceil(freeAtUs)));
        clock.at(done, [this] { transmitNext(); });
        if (cfg.lossChance > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < cfg.lossChance) {
            ++f.dropped;
            return;
        }
        int64_t arrival = done + cfg.rttUs / 2;
        if (cfg.jitterUs > 0)
            arrival += std::uniform_int_distribution<int64_t>(0, cfg.jitterUs)(rng);
        arrival = std::max(arrival, f.lastArrivalUs);
        f.lastArrivalUs = arrival;
        if (cfg.reorderChance > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < cfg.reorderChance)
            arrival += cfg.reorderUs;
        clock.at(arrival, [&f, d] { f.receive(d); });
    }

    Clock &clock;
    PathConfig cfg;
    std::mt19937 rng, backRng;
    int64_t queueLimit;
    std::deque<Datagram> queue;
    bool busy = false;
    double freeAtUs = 0;
    std::deque<Flow> flows; // a deque: events hold references to its elements
};

// Arrival times of a flow's datagrams at its receiver.
struct Deliveries {
    std::vector<int64_t> at;
    uint64_t between(int64_t fromUs, int64_t toUs) const
    {
        return uint64_t(std::lower_bound(at.begin(), at.end(), toUs) - std::lower_bound(at.begin(), at.end(), fromUs));
    }
    double ratePerSecond(int64_t fromUs, int64_t toUs) const { return double(between(fromUs, toUs)) * 1e6 / double(toUs - fromUs); }
};

// A paced sender with its receiver. It sends `datagrams` from `startUs`
// (a lost datagram is sent again under a new number, as resends are, once
// the controller counts it lost; a receiver short of a message's datagrams
// that heard nothing for two round trips asks for the lost tail), and may be
// handed more later (`add`).
class PacedFlow {
public:
    struct Options {
        int64_t startUs = 1000000;
        uint64_t datagrams = UINT64_MAX;    // to deliver; UINT64_MAX: always more
        uint32_t firstTxn = 1;
        uint32_t firstCount = 0;            // the receiver's count before this flow
        int64_t rttHintUs = 0;
        int64_t silentFromUs = 0, silentToUs = 0; // feedback written then is lost
        double readRate = 0;                // datagrams per second the receiving process reads; 0: at once
        size_t socketBuffer = 2000;         // datagrams its socket holds until read; more are dropped
        SharedUplink *uplink = nullptr;     // shared with the other flows of the same sender
    };

    PacedFlow(Clock &clock, Bottleneck &link, Options options)
        : clock(clock), link(link), opt(options), rc(options.startUs, options.firstTxn, options.uplink), pacer(options.startUs),
          count(options.firstCount)
    {
        id = link.attach([this](const Datagram &d) { land(d); });
        if (opt.rttHintUs)
            rc.setRttHint(opt.rttHintUs);
        clock.at(opt.startUs, [this] {
            add(opt.datagrams);
            tick();
        });
    }
    PacedFlow(const PacedFlow &) = delete;
    PacedFlow &operator=(const PacedFlow &) = delete;

    void add(uint64_t datagrams)
    {
        backlog = datagrams == UINT64_MAX || backlog > UINT64_MAX - datagrams ? UINT64_MAX : backlog + datagrams;
        wake();
    }

    const RateController &controller() const { return rc; }
    RateController &controller() { return rc; }
    const Deliveries &deliveries() const { return got; }
    int id = 0;
    uint64_t sent = 0, feedbacks = 0, resends = 0, overflowed = 0;
    int64_t doneUs = 0;                      // when the last datagram arrived, once all did

private:
    void wake()
    {
        const int64_t now = clock.now();
        if (now < opt.startUs)
            return;
        rc.onWake(now);
        // Datagrams the controller counts as lost are sent again, but for
        // those the receiver asked for already.
        const uint64_t lost = rc.lostEstimate();
        if (lost > lostSeen) {
            const uint64_t asked = std::min(tailAsked, lost - lostSeen);
            tailAsked -= asked;
            resends += lost - lostSeen - asked;
            if (backlog != UINT64_MAX)
                backlog += lost - lostSeen - asked;
        }
        lostSeen = std::max(lostSeen, lost);
        pacer.setRate(now, rc.pacingRate());
        while (backlog > 0 && pacer.allowance(now) >= 1 && rc.inflight() < rc.inflightLimit()) {
            if (backlog != UINT64_MAX)
                --backlog;
            bool ask = false;
            const uint32_t txn = rc.onSent(now, backlog == 0, &ask);
            pacer.consume(now);
            ++sent;
            link.send(Datagram{id, txn, ask, now});
        }
        if (backlog > 0 || rc.inflight() > 0) {
            // The event loop's timer: about a millisecond at the finest.
            const int64_t due = std::max(now + 1000, pacer.nextDueUs(now));
            if (timerUs <= now || due < timerUs) {
                timerUs = due;
                clock.at(due, [this, due] {
                    if (timerUs == due)
                        wake();
                });
            }
        }
    }

    // A datagram at the receiver's socket: read at once, or queued for a
    // receiving process that reads at its own rate.
    void land(const Datagram &d)
    {
        if (opt.readRate <= 0) {
            arrive(d);
            return;
        }
        if (socket.size() >= opt.socketBuffer) {
            ++overflowed;
            return;
        }
        socket.push_back(d);
        if (socket.size() == 1)
            clock.at(std::max(clock.now(), nextReadUs), [this] { readOne(); });
    }
    void readOne()
    {
        arrive(socket.front());
        socket.pop_front();
        nextReadUs = clock.now() + int64_t(1e6 / opt.readRate);
        if (!socket.empty())
            clock.at(nextReadUs, [this] { readOne(); });
    }

    void arrive(const Datagram &d)
    {
        const int64_t now = clock.now();
        got.at.push_back(now);
        lastArrivalUs = now;
        ++count;
        if (!haveNewest || int32_t(d.number - newestTxn) > 0) {
            newestTxn = d.number;
            newestArrivalUs = now;
            haveNewest = true;
            fresh = true;
        }
        if (opt.datagrams != UINT64_MAX && got.at.size() >= opt.datagrams && doneUs == 0 && backlog == 0)
            doneUs = now;
        if (d.ask || ++sinceFeedback >= 32)
            writeFeedback();
    }

    // The receiver's timer: feedback when two round trips passed and
    // something new arrived; a request for the lost tail of a message when
    // nothing arrived for two round trips.
    void tick()
    {
        const int64_t now = clock.now();
        const int64_t srtt = rc.smoothedRttUs();
        const int64_t told = srtt ? (srtt + 1999) / 2000 * 2000 : 200000; // 2 ms resolution
        if (fresh && now - lastFeedbackUs >= 2 * told)
            writeFeedback();
        if (opt.datagrams != UINT64_MAX && doneUs == 0 && unrecovered() > 0 &&
            now - std::max(lastArrivalUs, lastRequestUs) >= 2 * told) {
            lastRequestUs = now;
            if (link.feedbackSurvives())
                clock.at(now + link.config().rttUs / 2, [this] {
                    const uint64_t missing = unrecovered();
                    if (backlog == 0 && missing > 0) {
                        tailAsked += missing;
                        resends += missing;
                        backlog += missing;
                        wake();
                    }
                });
        }
        clock.at(now + 1000, [this] { tick(); });
    }

    // What the receiver lacks and is no longer on its way (the simulator
    // knows): lost, and not queued again yet.
    uint64_t unrecovered() const
    {
        const uint64_t lost = link.dropped(id) + overflowed;
        return lost > resends ? lost - resends : 0;
    }

    void writeFeedback()
    {
        const int64_t now = clock.now();
        const int64_t hold = (now - newestArrivalUs) / 32 * 32;
        const uint32_t newest = newestTxn, received = count;
        ++feedbacks;
        sinceFeedback = 0;
        lastFeedbackUs = now;
        fresh = false;
        if ((now >= opt.silentFromUs && now < opt.silentToUs) || !link.feedbackSurvives())
            return;
        clock.at(now + link.config().rttUs / 2, [this, newest, hold, received] {
            rc.onFeedback(clock.now(), newest, hold, received);
            wake();
        });
    }

    Clock &clock;
    Bottleneck &link;
    Options opt;
    RateController rc;
    Pacer pacer;
    uint64_t backlog = 0, lostSeen = 0, tailAsked = 0;
    int64_t timerUs = 0;
    // Receiver
    std::deque<Datagram> socket;
    int64_t nextReadUs = 0;
    Deliveries got;
    uint32_t count, newestTxn = 0, sinceFeedback = 0;
    int64_t newestArrivalUs = 0, lastFeedbackUs = 0, lastArrivalUs = 0, lastRequestUs = 0;
    bool haveNewest = false, fresh = false;
};

// A loss-based flow: Reno with selective acknowledgements, one per datagram,
// a loss taken after three later datagrams arrived, the window halved once
// per round of losses, no pacing.
class RenoFlow {
public:
    RenoFlow(Clock &clock, Bottleneck &link, int64_t startUs) : clock(clock), link(link)
    {
        id = link.attach([this](const Datagram &d) {
            got.at.push_back(this->clock.now());
            const uint32_t seq = d.number;
            this->clock.at(this->clock.now() + this->link.config().rttUs / 2, [this, seq] { ack(seq); });
        });
        clock.at(startUs, [this] {
            lastAckUs = this->clock.now();
            send();
            watchdog();
        });
    }
    RenoFlow(const RenoFlow &) = delete;
    RenoFlow &operator=(const RenoFlow &) = delete;
    const Deliveries &deliveries() const { return got; }
    int id = 0;

private:
    void send()
    {
        while (double(inflight) < cwnd) {
            state.push_back(Pending);
            ++inflight;
            link.send(Datagram{id, nextSeq++, false, 0});
        }
    }
    void ack(uint32_t seq)
    {
        lastAckUs = clock.now();
        if (seq < baseSeq || state[seq - baseSeq] != Pending)
            return;
        state[seq - baseSeq] = Acked;
        --inflight;
        highest = std::max(highest, seq);
        // Three later arrivals: the gaps before them are lost.
        bool loss = false;
        for (; scan + 3 <= highest; ++scan)
            if (scan >= baseSeq && state[scan - baseSeq] == Pending) {
                state[scan - baseSeq] = Lost;
                --inflight;
                loss = true;
            }
        if (loss && highest > recoveryUntil) {
            ssthresh = std::max(cwnd / 2, 2.0);
            cwnd = ssthresh;
            recoveryUntil = nextSeq - 1;
        } else if (highest > recoveryUntil) {
            cwnd += cwnd < ssthresh ? 1 : 1 / cwnd;
        }
        while (!state.empty() && state.front() != Pending) {
            state.pop_front();
            ++baseSeq;
        }
        send();
    }
    void watchdog()
    {
        // Retransmission timeout: a second without acknowledgement.
        if (inflight > 0 && clock.now() - lastAckUs > 1000000) {
            for (auto &s : state)
                if (s == Pending)
                    s = Lost;
            inflight = 0;
            ssthresh = std::max(cwnd / 2, 2.0);
            cwnd = 1;
            recoveryUntil = nextSeq - 1;
            lastAckUs = clock.now();
            send();
        }
        clock.at(clock.now() + 100000, [this] { watchdog(); });
    }

    enum Status : uint8_t { Pending, Acked, Lost };
    Clock &clock;
    Bottleneck &link;
    Deliveries got;
    std::deque<Status> state;
    uint32_t baseSeq = 1, nextSeq = 1, highest = 0, scan = 1, recoveryUntil = 0;
    int64_t inflight = 0, lastAckUs = 0;
    double cwnd = 10, ssthresh = 1e9;
};

// The median of a set of values (0 for none).
inline int64_t median(std::vector<int64_t> v)
{
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + long(v.size() / 2), v.end());
    return v[v.size() / 2];
}

} // namespace sim
