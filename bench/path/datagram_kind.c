#include "datagram_kind.h"

#include <string.h>

enum {
    DATAGRAM_PAYLOAD = 548, /* the library's datagram size */
    DATE_OFFSET = 0,        /* int32: message identity, day */
    TIME_OFFSET = 4,        /* int32: message identity, ms */
    INDEX_OFFSET = 28,      /* int16: 1-based packet number */
    TOTAL_OFFSET = 30,      /* int16, little-endian: packets in the message */
    TEXT_OFFSET = 48        /* start of the message's text header */
};

static int starts_with(const unsigned char *text, const char *word)
{
    return memcmp(text, word, strlen(word)) == 0;
}

/* Little-endian fields of the payload. */
static int32_t read_i32(const unsigned char *p)
{
    return (int32_t)((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
}

static int16_t read_i16(const unsigned char *p) { return (int16_t)(p[0] | p[1] << 8); }

/* The 548-byte UDP payload of an IPv4 packet, or NULL. */
static const unsigned char *library_payload(const unsigned char *packet, size_t length)
{
    if (length < 20 || (packet[0] >> 4) != 4 || packet[9] != 17)
        return NULL;
    const size_t ihl = (size_t)(packet[0] & 0x0f) * 4;
    if (ihl < 20 || length < ihl + 8)
        return NULL;
    const unsigned char *udp = packet + ihl;
    const size_t udp_length = ((size_t)udp[4] << 8) | udp[5];
    if (udp_length != 8 + DATAGRAM_PAYLOAD || length < ihl + udp_length)
        return NULL;
    return udp + 8;
}

int datagram_data_id(const unsigned char *packet, size_t length, struct datagram_id *id)
{
    const unsigned char *payload = library_payload(packet, length);
    if (!payload || read_i16(payload + TOTAL_OFFSET) <= 1)
        return 0;
    id->date = read_i32(payload + DATE_OFFSET);
    id->time = read_i32(payload + TIME_OFFSET);
    id->index = read_i16(payload + INDEX_OFFSET);
    return 1;
}

enum datagram_kind datagram_kind_of(const unsigned char *packet, size_t length)
{
    const unsigned char *payload = library_payload(packet, length);
    if (!payload)
        return KIND_NONE;
    if (read_i16(payload + TOTAL_OFFSET) > 1)
        return KIND_DATA;
    const unsigned char *text = payload + TEXT_OFFSET;
    if (starts_with(text, "REQUEST"))
        return KIND_REQUEST;
    if (starts_with(text, "RECEIVED"))
        return KIND_RECEIVED;
    if (starts_with(text, "FEEDBACK"))
        return KIND_FEEDBACK;
    return KIND_OTHER;
}

const char *datagram_kind_name(enum datagram_kind kind)
{
    static const char *const names[KIND_COUNT] = {"none", "data", "request", "received", "feedback", "other"};
    return kind >= 0 && kind < KIND_COUNT ? names[kind] : "none";
}
