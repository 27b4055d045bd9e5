// What this unit keeps as the sender of datagrams to one peer endpoint: the
// series of numbers it writes there and the feedback that proves the peer
// receives them, what waits to be written there and at what pace.
//
// Proof: the datagrams to an endpoint are numbered from a random point, and
// feedback counts only when the number it names is one this unit wrote to
// that endpoint lately. Only a receiver of those datagrams (or something on
// their way) knows such a number; a forger elsewhere guesses one in
// 2^32 / (numbers in the window). Unproven feedback changes nothing.
#pragma once

#include <memory>

#include "transport/rate/pacer.h"
#include "transport/rate/rate_controller.h"
#include "transport/send/send_queue.h"

struct SendingPath {
    // The series of numbers, and its proof.
    uint32_t lastWrittenTxn = 0; // the last number written (a random point before the first)
    uint64_t numbersWritten = 0; // numbers written in the series
    uint32_t seriesFirst = 0;    // the first number of the series
    bool seriesHeard = false;    // feedback has named a number of the series
    int64_t provenUs = 0;        // feedback that named one of our numbers lately
    uint32_t provenTxn = 0;      // the newest number such feedback named
    int64_t rttHintUs = 0;       // a round trip measured otherwise (a registration), for a new controller
    bool silent = false;         // stopped giving feedback: the protocol's own pace until it does again
    int64_t awaitingSinceUs = 0; // first paced datagram written since the last feedback
    SharedUplink *uplink = nullptr; // the uplink shared with the unit's other paths (its table's)

    SendQueue queue;
    std::unique_ptr<RateController> rate; // made when it first writes at the path's pace
    std::unique_ptr<Pacer> pacer;
    // The protocol's own pace: the current round and what it has written.
    int64_t roundStartUs = 0;
    int roundResends = 0;
    int roundRequests = 0;
    bool active = false; // in the writer's list

    // The next number for a datagram written to the peer, through the rate
    // controller when there is one. `ask` (optional) says whether the
    // controller wants feedback at once.
    uint32_t nextTxn(int64_t nowUs, bool queueEmptyAfter, bool *ask);
    // Whether feedback naming `echoed` proves itself: a number written to it
    // lately, not far behind what feedback named before.
    bool proves(uint32_t echoed) const;
    void noteProof(uint32_t echoed, int64_t nowUs);
    // Whether feedback has proven the peer within the last minute.
    bool proven(int64_t nowUs) const { return provenUs != 0 && nowUs - provenUs < kProofValidUs; }
    // Whether datagrams to the peer go at the pace of its rate controller.
    bool atRate(int64_t nowUs) const { return proven(nowUs) && !silent; }
    // Its rate controller and pacer, made when first needed.
    void makeRate(int64_t nowUs);
    // When feedback stays away this long while datagrams are in flight, the
    // peer gets the protocol's own pace again.
    int64_t silenceLimitUs() const;
    // The smoothed round trip its controller measured; 0 when unknown.
    int64_t rttUs() const { return rate ? rate->smoothedRttUs() : 0; }

    static constexpr int64_t kProofValidUs = 60ll * 1000 * 1000;
};
