/* Parsing of addresses and ports given on the command line or on input. */
#ifndef MUDP_PEER_ENDPOINT_H
#define MUDP_PEER_ENDPOINT_H

#include <stdbool.h>

/* An IPv4 address in dotted decimal and a port. */
typedef struct Endpoint {
    char ip[16];
    unsigned short port;
} Endpoint;

/* A port number from min to 65535, the whole text being digits. */
bool parse_port(const char *text, unsigned min, unsigned short *port);

/* A dotted-decimal IPv4 address, four numbers of 0..255 without leading
 * zeros; on success copies it into ip (16 bytes). */
bool parse_ipv4(const char *text, char ip[16]);

/* "IP:PORT" with a port of 1..65535, or of 0..65535 when allow_zero_port. */
bool parse_endpoint(const char *text, bool allow_zero_port, Endpoint *out);

#endif
