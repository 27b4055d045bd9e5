#include "link_model.h"

#include "flow_table.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

struct held_packet {
    struct held_packet *next;
    uint64_t due_ns;
    size_t length;
    unsigned char bytes[];
};

static void fifo_push(struct packet_fifo *fifo, struct held_packet *p)
{
    if (fifo->tail)
        fifo->tail->next = p;
    else
        fifo->head = p;
    fifo->tail = p;
}

static struct held_packet *fifo_pop(struct packet_fifo *fifo)
{
    struct held_packet *p = fifo->head;
    if (p) {
        fifo->head = p->next;
        if (!fifo->head)
            fifo->tail = NULL;
    }
    return p;
}

/* Beyond the queue, a path holds what is on the wire: rate x delay. This
 * hard cap on the forwarder's memory only guards against a bad config. */
static const uint64_t kHeldCap = 256u << 20;

static uint64_t next_random(struct link_model *link)
{
    /* xorshift64*: reproducible for a given seed */
    link->rng ^= link->rng >> 12;
    link->rng ^= link->rng << 25;
    link->rng ^= link->rng >> 27;
    return link->rng * 2685821657736338717ull;
}

static double uniform01(struct link_model *link) { return (double)(next_random(link) >> 11) / 9007199254740992.0; }

static double uniform_jitter(struct link_model *link)
{
    return (uniform01(link) * 2.0 - 1.0) * (double)link->config.jitter_ns;
}

void link_init(struct link_model *link, const struct link_config *config, uint64_t seed)
{
    memset(link, 0, sizeof *link);
    link->config = *config;
    if (link->config.jitter_ns > link->config.delay_ns)
        link->config.jitter_ns = link->config.delay_ns;
    link->rng = seed * 0x9e3779b97f4a7c15ull + 1;
    link->jitter_interval = 4 * link->config.jitter_ns;
    if (link->jitter_interval < 10000000)
        link->jitter_interval = 10000000;
    const double in_flight = config->rate_bps / 8.0 * (double)(config->delay_ns + config->jitter_ns) / 1e9;
    link->held_limit = config->queue_bytes + (uint64_t)in_flight + (1u << 20);
    if (config->rate_bps <= 0 || link->held_limit > kHeldCap)
        link->held_limit = kHeldCap;
}

/* The jitter curve's value at t (ns, nondecreasing over calls). */
static double jitter_at(struct link_model *link, uint64_t t)
{
    if (link->config.jitter_ns == 0)
        return 0;
    if (link->jitter_t1 == 0 || t >= link->jitter_t1 + link->jitter_interval) {
        /* first packet, or after a pause longer than an interval: start anew */
        link->jitter_t0 = t;
        link->jitter_v0 = uniform_jitter(link);
        link->jitter_t1 = t + link->jitter_interval;
        link->jitter_v1 = uniform_jitter(link);
    }
    while (t >= link->jitter_t1) {
        link->jitter_t0 = link->jitter_t1;
        link->jitter_v0 = link->jitter_v1;
        link->jitter_t1 += link->jitter_interval;
        link->jitter_v1 = uniform_jitter(link);
    }
    const double f = (double)(t - link->jitter_t0) / (double)(link->jitter_t1 - link->jitter_t0);
    return link->jitter_v0 + (link->jitter_v1 - link->jitter_v0) * f;
}

void link_offer(struct link_model *link, const unsigned char *packet, size_t length, uint64_t now_ns)
{
    struct link_counters *c = &link->counters;
    ++c->offered;
    c->offered_bytes += length;
    ++c->kinds[datagram_kind_of(packet, length)];

    uint64_t sent_ns = now_ns; /* when the link has sent the packet's last bit */
    if (link->config.rate_bps > 0) {
        const uint64_t backlog_ns = link->link_free_ns > now_ns ? link->link_free_ns - now_ns : 0;
        const double backlog_bytes = (double)backlog_ns * link->config.rate_bps / 8e9;
        /* An empty queue always takes a packet, even one larger than it. */
        if (backlog_ns > 0 && backlog_bytes + (double)length > (double)link->config.queue_bytes) {
            ++c->queue_drops;
            return;
        }
        const uint64_t start = link->link_free_ns > now_ns ? link->link_free_ns : now_ns;
        sent_ns = start + (uint64_t)((double)length * 8e9 / link->config.rate_bps);
        link->link_free_ns = sent_ns;
    }
    if (link->config.loss > 0 && uniform01(link) < link->config.loss) {
        ++c->random_drops;
        return;
    }
    if (link->held_bytes + length > link->held_limit) {
        ++c->queue_drops;
        return;
    }
    const double jitter = jitter_at(link, sent_ns);
    uint64_t due = sent_ns + link->config.delay_ns;
    due = jitter < 0 ? due - (uint64_t)(-jitter) : due + (uint64_t)jitter;
    if (due < link->last_due_ns) /* the curve keeps order; rounding must too */
        due = link->last_due_ns;
    struct held_packet *p = malloc(sizeof *p + length);
    if (!p) {
        ++c->queue_drops;
        return;
    }
    p->next = NULL;
    p->length = length;
    memcpy(p->bytes, packet, length);
    link->held_bytes += length;
    if (link->config.reorder > 0 && uniform01(link) < link->config.reorder) {
        /* Held back by the same time as every other late one: still in order among them. */
        p->due_ns = due + link->config.reorder_ns;
        fifo_push(&link->late, p);
        ++c->held_back;
        return;
    }
    p->due_ns = due;
    fifo_push(&link->in_order, p);
    link->last_due_ns = due;
}

/* The list whose head is due first (in order wins a tie), or NULL. */
static struct packet_fifo *next_list(struct link_model *link)
{
    struct packet_fifo *a = &link->in_order, *b = &link->late;
    if (!b->head)
        return a->head ? a : NULL;
    if (!a->head)
        return b;
    return b->head->due_ns < a->head->due_ns ? b : a;
}

void link_deliver(struct link_model *link, int fd, uint64_t now_ns)
{
    for (struct packet_fifo *list; (list = next_list(link)) && list->head->due_ns <= now_ns;) {
        struct held_packet *p = fifo_pop(list);
        link->held_bytes -= p->length;
        if (write(fd, p->bytes, p->length) == (ssize_t)p->length) {
            ++link->counters.forwarded;
            if (link->flows && flow_table_note(link->flows, p->bytes, p->length, now_ns))
                ++link->counters.duplicates;
        } else {
            ++link->counters.write_errors;
        }
        free(p);
    }
}

uint64_t link_next_due(const struct link_model *link)
{
    const uint64_t a = link->in_order.head ? link->in_order.head->due_ns : UINT64_MAX;
    const uint64_t b = link->late.head ? link->late.head->due_ns : UINT64_MAX;
    return a < b ? a : b;
}

void link_free(struct link_model *link)
{
    for (struct held_packet *p; (p = fifo_pop(&link->in_order)) || (p = fifo_pop(&link->late));)
        free(p);
    link->held_bytes = 0;
}
