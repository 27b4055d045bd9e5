/* One direction of an emulated path: a link of a given rate fed by a
 * drop-tail queue, then a propagation delay with jitter, and random loss.
 *
 * A packet that arrives while the link is still sending earlier ones waits
 * in the queue; it is dropped when the queue's backlog (the bytes the link
 * has yet to send) plus the packet would exceed the queue's size. Its wire
 * size is its IP length. A packet lost at random has used the queue and
 * the link like any other and vanishes on the way.
 *
 * Jitter never reorders: the extra delay is a smooth random curve through a
 * new uniform value in [-jitter, +jitter] every interval (at least four
 * jitters long), so it changes by at most half the time that passes, and
 * packets keep their order. The mean delay stays the configured one.
 *
 * Reordering is separate: a share of the packets that got through is held
 * back a fixed extra time after its due time, so packets sent after it
 * overtake it. Which ones is drawn from the link's generator, so a seed
 * repeats them; with no reordering configured nothing is drawn for it and
 * every other draw stays as it was.
 *
 * Every packet written out is shown to the link's flow table, if it has
 * one: per-flow counts, duplicates and a time series (flow_table.h). */
#ifndef PATH_LINK_MODEL_H
#define PATH_LINK_MODEL_H

#include <stddef.h>
#include <stdint.h>

#include "datagram_kind.h"

struct link_config {
    double rate_bps;      /* 0: no rate limit and no queue */
    uint64_t queue_bytes; /* drop-tail limit on the backlog */
    uint64_t delay_ns;    /* one-way propagation delay */
    uint64_t jitter_ns;   /* at most delay_ns */
    double loss;          /* probability, 0..1 */
    double reorder;       /* probability that a packet is held back, 0..1 */
    uint64_t reorder_ns;  /* how long such a packet is held back */
};

struct link_counters {
    uint64_t offered, offered_bytes, forwarded, queue_drops, random_drops, write_errors;
    uint64_t held_back;  /* packets delivered late by the reordering */
    uint64_t duplicates; /* data datagrams written again (seen by the flow table) */
    uint64_t kinds[KIND_COUNT]; /* of the offered packets */
};

struct held_packet;
struct flow_table;

/* Packets in due order. */
struct packet_fifo {
    struct held_packet *head, *tail;
};

struct link_model {
    struct link_config config;
    struct link_counters counters;
    uint64_t link_free_ns;  /* when the link has sent everything it holds */
    uint64_t last_due_ns;   /* due time of the newest packet held in order */
    uint64_t held_bytes, held_limit;
    struct packet_fifo in_order, late; /* late: held back by the reordering */
    struct flow_table *flows;          /* not owned; NULL: none */
    uint64_t rng;
    /* the jitter curve: from (t0, v0) to (t1, v1), values in ns */
    uint64_t jitter_t0, jitter_t1, jitter_interval;
    double jitter_v0, jitter_v1;
};

void link_init(struct link_model *link, const struct link_config *config, uint64_t seed);
/* Takes one packet arriving at now_ns: queues it for delivery or drops it. */
void link_offer(struct link_model *link, const unsigned char *packet, size_t length, uint64_t now_ns);
/* Writes every packet due by now_ns to fd, in order of due time. */
void link_deliver(struct link_model *link, int fd, uint64_t now_ns);
/* Due time of the next held packet, or UINT64_MAX. */
uint64_t link_next_due(const struct link_model *link);
void link_free(struct link_model *link);

#endif
