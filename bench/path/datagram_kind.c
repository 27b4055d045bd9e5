#include "datagram_kind.h"

#include <string.h>

enum {
    DATAGRAM_PAYLOAD = 548, /* the library's datagram size */
    TOTAL_OFFSET = 30,      /* int16, little-endian: packets in the message */
    TEXT_OFFSET = 48        /* start of the message's text header */
};

static int starts_with(const unsigned char *text, const char *word)
{
    return memcmp(text, word, strlen(word)) == 0;
}

enum datagram_kind datagram_kind_of(const unsigned char *packet, size_t length)
{
    if (length < 20 || (packet[0] >> 4) != 4 || packet[9] != 17)
        return KIND_NONE;
    const size_t ihl = (size_t)(packet[0] & 0x0f) * 4;
    if (ihl < 20 || length < ihl + 8)
        return KIND_NONE;
    const unsigned char *udp = packet + ihl;
    const size_t udp_length = ((size_t)udp[4] << 8) | udp[5];
    if (udp_length != 8 + DATAGRAM_PAYLOAD || length < ihl + udp_length)
        return KIND_NONE;
    const unsigned char *payload = udp + 8;
    const int total = (int)(short)(payload[TOTAL_OFFSET] | (payload[TOTAL_OFFSET + 1] << 8));
    if (total > 1)
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
