/* Classifies the IP packets crossing the path: the library's 548-byte UDP
 * datagrams by kind, everything else as not one of them. */
#ifndef PATH_DATAGRAM_KIND_H
#define PATH_DATAGRAM_KIND_H

#include <stddef.h>
#include <stdint.h>

enum datagram_kind {
    KIND_NONE,      /* not a UDP datagram with a 548-byte payload */
    KIND_DATA,      /* a packet of a multi-packet message (total > 1) */
    KIND_REQUEST,   /* single datagram whose text starts with REQUEST */
    KIND_RECEIVED,  /* ... RECEIVED */
    KIND_FEEDBACK,  /* ... FEEDBACK */
    KIND_OTHER,     /* any other single datagram */
    KIND_COUNT
};

/* The kind of one IPv4 packet of `length` bytes; never reads past it. */
enum datagram_kind datagram_kind_of(const unsigned char *packet, size_t length);

/* A data datagram's message identity and packet number. */
struct datagram_id {
    int32_t date, time;
    int16_t index;
};

/* Whether the packet is a data datagram (KIND_DATA); fills *id if so. */
int datagram_data_id(const unsigned char *packet, size_t length, struct datagram_id *id);

/* Short name of a kind for the counters' output. */
const char *datagram_kind_name(enum datagram_kind kind);

#endif
