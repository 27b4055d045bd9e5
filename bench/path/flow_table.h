/* What one direction of the path delivered, flow by flow: a flow is one
 * protocol, source and destination (address and port) of IPv4 UDP or TCP.
 *
 * Per flow it counts the packets and bytes written out, the library's data
 * datagrams among them and how many of those had been written before (the
 * same message identity and packet number: a resend the receiver did not
 * need), the times of the first and last data datagram and the longest
 * pause between two of them (a destination that stopped getting its
 * packets), and the bytes per bin of BIN_MS (the flow's rate over time).
 * Times are CLOCK_MONOTONIC, shared by every process of the machine. */
#ifndef PATH_FLOW_TABLE_H
#define PATH_FLOW_TABLE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

enum { FLOW_MAX = 32, FLOW_BIN_MS = 50 };

struct seen_set {
    uint64_t *slots; /* 0: empty */
    size_t capacity, used;
};

struct flow_stats {
    uint8_t proto;
    uint32_t src, dst; /* host order */
    uint16_t sport, dport;
    uint64_t packets, bytes, data, duplicates;
    uint64_t data_first_ns, data_last_ns, gap_ns, gap_end_ns;
    uint64_t *bins;
    size_t bin_count;
    struct seen_set seen;
};

struct flow_table {
    uint64_t origin_ns; /* start of bin 0 */
    int count;
    struct flow_stats flows[FLOW_MAX];
    struct flow_stats other; /* packets of no flow, or beyond FLOW_MAX flows */
};

void flow_table_init(struct flow_table *table, uint64_t origin_ns);
/* Counts one packet written out at now_ns; returns 1 when it is a data
 * datagram that had been written before. */
int flow_table_note(struct flow_table *table, const unsigned char *packet, size_t length, uint64_t now_ns);
/* Prints a "flow" and a "bins" line per flow, each starting with `name`. */
void flow_table_print(FILE *out, const char *name, const struct flow_table *table);
void flow_table_free(struct flow_table *table);

#endif
