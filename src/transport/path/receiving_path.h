// What this unit keeps as the receiver of one peer's numbered datagrams: its
// count of them in the peer's current series, and the feedback it owes the
// peer.
#pragma once

#include <QtGlobal>

#include "transport/path_mark.h"

struct ReceivingPath {
    int64_t numberedSeenUs = 0;    // a numbered datagram from the peer
    uint32_t received = 0;         // its numbered datagrams received in its current series
    uint32_t newestReceivedTxn = 0;
    int64_t newestAtUs = 0;
    bool seriesSettled = false;    // its series has shown datagrams without the new-series flag
    int sinceFeedback = 0;         // numbered datagrams since the last feedback
    int64_t unreportedSinceUs = 0; // when the first of them arrived
    int64_t lastFeedbackUs = 0;
    int64_t senderRttMs = 0;       // its round-trip hint
    bool feedbackDue = false;      // to be sent after the datagrams being read
    bool owedForMessage = false;   // some of them belong to a message of several datagrams
    int64_t unheardSinceUs = 0;    // our first feedback since its datagrams last said it hears ours
    // Reordering: a gap is reported once it is older than a window, a
    // fraction of the sender's round trip that widens each time a packet
    // reported lost turns out to have come late, and narrows again after
    // kNarrowAfter reported gaps that were truly lost.
    int reorderSteps = 0;
    int trulyLostSinceLate = 0;
    int64_t widenedAtUs = 0;

    // A numbered datagram from the peer: counts it, in a new series when its
    // numbers say so; whether it began one.
    bool noteNumbered(const mark::Mark &mark, int64_t nowUs);
    // Whether the peer numbers its datagrams to us lately (we owe it feedback).
    bool numbersItsDatagrams(int64_t nowUs) const
    {
        return numberedSeenUs != 0 && nowUs - numberedSeenUs < kNumberedValidUs && received != 0;
    }
    // Whether its datagrams keep saying it hears none of the feedback this
    // unit has been giving it for a while.
    bool feedbackUnheard(int64_t nowUs) const;
    // How old a gap must be before it is reported (µs).
    int64_t reorderWindowUs() const;
    // A packet reported lost arrived late (or twice): the window widens. A
    // reported gap was filled by a resend: after enough of them it narrows.
    void noteLate(int64_t nowUs);
    void noteTrulyLost();
    // Its round-trip hint in ms, or `fallback` when it gives none.
    int64_t senderRttOr(int64_t fallbackMs) const { return senderRttMs ? senderRttMs : fallbackMs; }

    static constexpr int64_t kNumberedValidUs = 60ll * 1000 * 1000;
};
